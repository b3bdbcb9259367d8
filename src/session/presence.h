#pragma once

// Whether a boot loader listens on a port: what a line station asks of a
// socket whose adapter never leaves, before it starts a board there. One
// short blocking call (open, one connect at the base rate asking for no
// rate change, a reply wait, close) that needs no event loop, so a pool of
// threads can ask many sockets at once.

#include <QString>
#include <atomic>

#include "serial/transport.h"

// Whether a board's boot loader is listening on a port.
enum class PortPresence {
    Answered,  // a boot loader replied to a connect
    Silent,    // nothing replied, or the port would not open
    Held,      // another program holds the port: it was left alone
};

struct PresenceAsk {
    QString port;        // a device path or a remote port's URL
    int rate_index = 0;  // the base rate: a board that answers is left at the rate its run opens at
    // The wait for the connect's reply on a link with no round trip of its
    // own; it grows by the round trip measured while the port opened, up to
    // max_wait_ms (the Open wait).
    int reply_wait_ms = 100;
    int max_wait_ms = 1500;
};

struct PresenceAnswer {
    PortPresence presence = PortPresence::Silent;
    int round_trip_ms = 0;  // measured while a remote port opened; 0 for a local one
    int held_ms = 0;        // how long the port was held open (0 when it was Held by another)
};

// Returns within about 10 ms of `stop` becoming true (Silent then).
// `maker`: where the link's transport comes from (a test plays a script).
PresenceAnswer ask_presence(const PresenceAsk& ask, const std::atomic<bool>& stop,
                            const TransportMaker& maker = make_transport);
