#pragma once

// Writing the external flash: the two block writers, Input File of a flash
// image, Update Flash (the whole image from address 0, at a base address,
// or a .diff's records) with the prologue every update starts with, and the
// survey that leaves out what the flash already holds.
//
// It may touch: the link, the chosen flash image (and the bytes an update
// writes), the count of bytes written and left out, and its own count of
// block writes in a row with no reply; it reads the chip's facts and asks
// the flash commands for the identification, the mode and the CRC checks.

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>

#include "flashimage/image_rules.h"
#include "flashimage/skip_plan.h"
#include "flashimage/update_plan.h"
#include "session/port_session.h"
#include "session/session_parts.h"
#include "session/session_report.h"

class FlashCommands;

class FlashUpdates {
public:
    FlashUpdates(const SessionParts& parts, PortSession& port, FlashCommands& flash);

    // Reads and takes a flash image file: operation_result.
    int load_flash_image(const QString& path);
    // Update Flash from the file: operation_result or flash_update_result.
    int update_flash(const QString& path, const UpdateOptions& options);
    // `len` bytes of the image at `base`, then the range's CRC against `expected_crc`.
    int Update_FlashAt(uint32_t base, int len, int blk, uint32_t expected_crc, const UpdateOptions& options);

    int Write_FlashBlock(const QByteArray& data, uint32_t address, int seq);
    int Write_FlashBlockPackets(const QByteArray& data, uint32_t address, int seq);

private:
    void take_flash_image_check(const FlashImageCheck& check);
    int flash_update_prologue(const LinkSettings& link, int image_len);
    int write_flash_blocks(const QByteArray& source, const QVector<BlockWrite>& plan, bool packets,
                           int max_timed_out_blocks);
    void log_update_start();
    void log_link_kind();
    int Update_FlashFull(int len, int blk, const UpdateOptions& options);
    int Update_FlashDiff(int len, int blk, const UpdateOptions& options);
    SurveyAnswer ask_flash_crc(uint32_t address, uint32_t len);
    int write_image_blocks(uint32_t base, int len, int blk, TailStyle style, bool packets,
                           const UpdateOptions& options);
    QVector<DiffRecord> diff_records_to_write(const QVector<DiffRecord>& records, int blk);

    Link& link_;
    const ChipFacts& chip_;
    SelectedImages& images_;
    UpdateBytes& bytes_;
    PortSession& port_;
    FlashCommands& flash_;
    int timed_out_blocks_in_row_ = 0;  // of the update running, across its calls of write_flash_blocks
};
