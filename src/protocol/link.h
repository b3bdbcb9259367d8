#pragma once

// What differs between the commands' request/reply exchanges, as data. The
// exchange itself is Link::exchange (session/link.h).

#include <QByteArray>
#include <QVector>
#include <cstdint>

enum class Reply {
    Ok,           // a whole reply frame with the expected letter in byte 0
    WrongLetter,  // a whole reply frame with another letter
    TimedOut,     // no reply within the wait's passes
    Aborted,      // stop_requested or link_down ended the wait (abortable waits only)
    Sent,         // the frames are out; the wait has no passes, so nothing was awaited
};

struct ReplyWait {
    int passes;             // tests of the reply flag; 0: no reply is awaited here
    int sleep_ms;           // sleep between two tests
    uint8_t letter;         // expected reply byte 0
    bool clear_first;       // empty the port's buffers before writing
    bool abortable;         // Exit and device removal end the wait
    int pause_us = 0;       // busy wait (delay_us) in each settle round of a paced frame
    bool events_first = false;  // a settle round processes events before its pause, not after
};

// The same wait with a pause known only at run time (the link's pacing).
constexpr ReplyWait with_pause(ReplyWait wait, int pause_us)
{
    wait.pause_us = pause_us;
    return wait;
}

// One frame of an exchange and what follows its write before the next frame
// goes or the reply is awaited: the boot loaders that take a block in
// several frames need the time to store each one.
struct FrameOut {
    QByteArray bytes;
    int settle_rounds = 0;     // rounds of event processing after the write
    bool paced = false;        // each round also takes the wait's pause_us
    bool wait_written = true;  // wait for the bytes to leave before settling
};

// What a slot reads from the rate boxes and the WaitTime entry, once, and
// hands down: nothing below the slots looks at the widgets.
struct LinkSettings {
    int rate_index;      // comboBox_BAUDRATE
    int new_rate_index;  // comboBox_NewRate
    int wait_ms;         // the receive slot's wait for more bytes
};
