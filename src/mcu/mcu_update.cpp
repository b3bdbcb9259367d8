// Programming the chip's own flash with the image in image_data, a member
// of MainWindow: where it goes, erase, block by block, then the boot
// loader's CRC of what it holds.

#include <QSerialPort>

#include "app/mainwindow.h"
#include "app/texts.h"
#include "flashimage/update_plan.h"
#include "mcu/mcu_plan.h"
#include "protocol/catalogue.h"
#include "mcu/mcu_frames.h"
#include "protocol/frame.h"

namespace {
QString block_failed_line(uint32_t offset)
{
    return QStringLiteral("UPDATE_FLASH NG, Addr : 0x") + QString::number(offset, 16);
}
}  // namespace

int MainWindow::write_mcu_block(const QByteArray& data, uint32_t block_offset)
{
    return vcom_index == 1 ? program_mcu_frames(data, block_offset) : program_mcu_block(data, block_offset);
}

int MainWindow::plan_mcu_update(uint32_t chip, McuRange* range)
{
    *range = plan_mcu_range(image_data.left(mcu_image_len), chip);
    const McuRange& r = *range;
    if (!r.run_address_model) {
        if (r.verdict == McuRangeVerdict::TooLarge) {
            log_line(QStringLiteral("Mcu maximum eflash size is ") + QString::number(r.limit));
            show_error(texts::kImageOverMcuSize);
            return mcu_update_result::kRefused;
        }
        return mcu_update_result::kOk;
    }
    run_address = r.run_address;
    log_line(QStringLiteral("enter_Addr:") + hex32(run_address));
    switch (r.verdict) {
    case McuRangeVerdict::RunAddressTooLow:
        log_line(QStringLiteral("The run address is less than 0x8008000:") + hex32(run_address));
        return mcu_update_result::kRefused;
    case McuRangeVerdict::RunAddressOutOfRange:
        // Its page would put the start offset below the application area,
        // where the boot loader's own code lives.
        log_line(QStringLiteral("The run address is out of the mcu flash:") + hex32(run_address));
        return mcu_update_result::kRefused;
    default:
        break;
    }
    log_line(QStringLiteral("sAddr:") + hex32(r.start) + QStringLiteral(" eAddr:") + hex32(r.end));
    if (r.verdict == McuRangeVerdict::TooLarge) {
        show_error(texts::kImageOverMcuSize);
        return mcu_update_result::kRefused;
    }
    return mcu_update_result::kOk;
}

int MainWindow::update_mcu(int total, int blk, uint32_t chip, const LinkSettings& link, UpdateMode mode)
{
    McuRange range;
    const int result = mcu_update_prologue(chip, link, &range);
    if (result != mcu_update_result::kOk)
        return result;
    if (mode == UpdateMode::SkipUnchanged && mcu_image_held(total, blk, range))
        return link_down == 1 ? mcu_update_result::kBlockFailed : mcu_update_result::kOk;
    return program_mcu_image(total, blk, range);
}

int MainWindow::mcu_update_prologue(uint32_t chip, const LinkSettings& link, McuRange* range)
{
    if (refuse_closed_port())
        return mcu_update_result::kRefused;
    if (mcu_image_len < kMcuMinImageLen) {
        show_error(QStringLiteral("There aren't any datas to update!"));
        return mcu_update_result::kRefused;
    }
    clear_log();
    discard_input();
    run_address = 0;
    if (plan_mcu_update(chip, range) != mcu_update_result::kOk)
        return mcu_update_result::kRefused;

    if (connect_device(kIdentifyMode, chip, link) != connect_result::kOk ||
        connect_device(kMcuTargetMode, chip, link) != connect_result::kOk) {
        show_error(QStringLiteral("Fail to Connect a mcu device"));
        return mcu_update_result::kRefused;
    }
    return mcu_update_result::kOk;
}

int MainWindow::program_mcu_image(int total, int blk, const McuRange& range)
{
    set_progress(0);
    log_timestamp();
    if (erase_mcu(range.start, range.end) != mcu_erase_result::kOk) {
        log_line(QStringLiteral("Erase flash NG!!!"));
        return mcu_update_result::kEraseFailed;
    }
    log_line(QStringLiteral("Erase flash OK..."));
    log_timestamp();
    log_line(QStringLiteral("Program flash.."));

    for (const McuBlockWrite& w : plan_mcu_blocks(total, blk, range.start)) {
        const QByteArray data = image_data.mid(w.data_offset, w.len);
        // The plan names only bytes of the image; anything else never reaches the chip.
        if (data.size() != w.len)
            return w.final ? mcu_update_result::kFinalBlockFailed : mcu_update_result::kBlockFailed;
        const AttemptOutcome outcome =
            write_with_attempts(AttemptRule::McuBlock, [&] { return write_mcu_block(data, w.offset); });
        if (w.final) {
            if (!outcome.accepted) {
                log_line(block_failed_line(w.offset));
                return mcu_update_result::kFinalBlockFailed;
            }
            update_bytes_.bytes_written += w.len;
            break;
        }
        if (outcome.attempts == kMaxWriteAttempts && outcome.result == mcu_program_result::kWrongLetter) {
            log_line(hex_bytes(rx_buf, kWrongReplyDumpBytes));
            log_line(QStringLiteral("Update mcu flash,and return error command"));
        }
        if (!outcome.accepted) {
            log_line(block_failed_line(w.offset));
            return mcu_update_result::kBlockFailed;
        }
        update_bytes_.bytes_written += w.len;
        if (link_down == 1)
            return mcu_update_result::kBlockFailed;
        set_progress(w.progress);
    }

    set_progress(kProgressDone);
    log_timestamp();
    if (check_mcu_crc() != mcu_crc_result::kOk) {
        log_line(QStringLiteral("Check CRC is NG..."));
        return mcu_update_result::kCrcFailed;
    }
    log_line(QStringLiteral("Check CRC is OK..."));
    if (link_down == 1)
        return mcu_update_result::kBlockFailed;
    log_timestamp();
    return mcu_update_result::kOk;
}
