#pragma once

// What every procedure of the session works over, and the few reports they
// all make. The parts belong to the session (boot_session.h); a procedure
// class holds references to those it names and touches nothing else.

#include <QString>

#include "flashimage/skip_plan.h"
#include "session/chip_facts.h"
#include "session/link.h"
#include "session/selected_images.h"

struct SessionParts {
    Link& link;  // and through it the sink and the stop
    ChipFacts& chip;
    SelectedImages& images;
    UpdateBytes& bytes;  // what the update running wrote and left out
};

// The operator's reports every procedure makes, through the link's sink.
namespace say {
void line(Link& link, const QString& text);
void error(Link& link, const QString& text);  // the critical box "Message"
void progress(Link& link, int percent);
void timestamp(Link& link);  // "Timer:h:m:s", local time
}  // namespace say

// "Please open the port!" when the link is closed: true when it refused.
bool refuse_closed_port(Link& link);
