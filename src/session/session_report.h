#pragma once

// What an update is asked to do, as one value, and what it did, as another.

#include <QString>
#include <cstdint>

#include "flashimage/skip_plan.h"
#include "protocol/link.h"
#include "serial/rates.h"
#include "session/operation.h"

struct UpdateOptions {
    // Read once: the rate the port is open at, the New Rate (the same index:
    // no switch) and the receive slot's wait for more bytes.
    LinkSettings link{kDefaultRateIndex, kDefaultRateIndex, 3};
    // Leave out the blocks (or .diff records) the device already holds.
    bool skip_unchanged = false;
    // Block writes in a row with no reply that end a flash update; 0 keeps
    // the window's rule that a timed-out block counts as written.
    int max_timed_out_blocks = 0;
    // Check File CRC: the final image check sends the file's own CRC.
    bool send_file_crc = false;
};

enum class Verdict {
    Passed,
    Failed,
    DeviceGone,  // the device went away during the update
    Stopped,     // a stop was requested
};

struct UpdateReport {
    Operation operation = Operation::UpdateMcu;
    Verdict verdict = Verdict::Failed;
    int code = 0;  // the procedure's own result code (operation.h); 0 is success
    UpdateBytes bytes;
    uint32_t chip_id = 0;
    QString chip_model;  // the catalogue's name of chip_id's model
    uint32_t flash_id = 0;
    int flash_size = 0;
    QString flash_name;
};
