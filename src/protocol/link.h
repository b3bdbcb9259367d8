#pragma once

// What differs between the commands' request/reply exchanges, as data. The
// exchange itself is MainWindow::exchange (protocol/link.cpp).

#include <cstdint>

enum class Reply {
    Ok,           // a whole reply frame with the expected letter in byte 0
    WrongLetter,  // a whole reply frame with another letter
    TimedOut,     // no reply within the wait's passes
    Aborted,      // stop_requested or link_down ended the wait (abortable waits only)
};

struct ReplyWait {
    int passes;             // tests of the reply flag
    int sleep_ms;           // sleep between two tests
    uint8_t letter;         // expected reply byte 0
    bool clear_first;       // empty the port's buffers before writing
    bool abortable;         // Exit and device removal end the wait
};

// What a slot reads from the rate boxes and the WaitTime entry, once, and
// hands down: nothing below the slots looks at the widgets.
struct LinkSettings {
    int rate_index;      // comboBox_BAUDRATE
    int new_rate_index;  // comboBox_NewRate
    int wait_ms;         // the receive slot's wait for more bytes
};
