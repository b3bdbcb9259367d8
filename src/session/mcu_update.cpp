// The MCU image: taking the file, programming the chip's own flash with it
// (where it goes, erase, block by block, then the boot loader's CRC of what
// it holds) and checking it, members of BootSession.


#include "flashimage/flash_limits.h"
#include "flashimage/update_plan.h"
#include "mcu/mcu_frames.h"
#include "mcu/mcu_plan.h"
#include "platform/file_read.h"
#include "protocol/catalogue.h"
#include "protocol/frame.h"
#include "protocol/hex_text.h"
#include "protocol/texts.h"
#include "session/boot_session.h"

namespace {
QString block_failed_line(uint32_t offset)
{
    return QStringLiteral("UPDATE_FLASH NG, Addr : 0x") + QString::number(offset, 16);
}
}  // namespace

int BootSession::write_mcu_block(const QByteArray& data, uint32_t block_offset)
{
    return vcom_index == 1 ? program_mcu_frames(data, block_offset) : program_mcu_block(data, block_offset);
}

int BootSession::plan_mcu_update(uint32_t chip, McuRange* range)
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
    log_line(QStringLiteral("enter_Addr:") + hex32_text(run_address));
    switch (r.verdict) {
    case McuRangeVerdict::RunAddressTooLow:
        log_line(QStringLiteral("The run address is less than 0x8008000:") + hex32_text(run_address));
        return mcu_update_result::kRefused;
    case McuRangeVerdict::RunAddressOutOfRange:
        // Its page would put the start offset below the application area,
        // where the boot loader's own code lives.
        log_line(QStringLiteral("The run address is out of the mcu flash:") + hex32_text(run_address));
        return mcu_update_result::kRefused;
    default:
        break;
    }
    log_line(QStringLiteral("sAddr:") + hex32_text(r.start) + QStringLiteral(" eAddr:") + hex32_text(r.end));
    if (r.verdict == McuRangeVerdict::TooLarge) {
        show_error(texts::kImageOverMcuSize);
        return mcu_update_result::kRefused;
    }
    return mcu_update_result::kOk;
}

int BootSession::load_mcu_image(const QString& path)
{
    const WholeFileRead file = read_whole_file(path, kMaxImageFileBytes);
    if (file.status != WholeFileStatus::Ok) {
        sink_->error_box(QStringLiteral("Error"), texts::kReadFail);
        return operation_result::kReadFailed;
    }
    // An image too short to hold the run-address word leaves run_address 0.
    const McuImage image = read_mcu_image(file.bytes);
    mcu_image_crc = image.crc;
    mcu_image_len = image.len;
    run_address = image.run_address;
    log_line(QStringLiteral("enter_Addr:") + hex32_text(run_address));
    sink_->mcu_label(mcu_image_label(image));
    return operation_result::kOk;
}

UpdateReport BootSession::update_mcu(const QString& path, const UpdateOptions& options)
{
    update_bytes_ = {};
    if (path.isEmpty()) {
        show_error(QStringLiteral("Please input mcu code file"));
        return make_report(Operation::UpdateMcu, operation_result::kNoFileName);
    }
    // Read afresh: the file may have been rebuilt since it was chosen.
    WholeFileRead file = read_whole_file(path, kMaxImageFileBytes);
    if (file.status != WholeFileStatus::Ok) {
        show_error(texts::kReadFail);
        log_line(path);
        return make_report(Operation::UpdateMcu, operation_result::kReadFailed);
    }
    const McuImage image = read_mcu_image(file.bytes);
    mcu_image_crc = image.crc;
    mcu_image_len = image.len;
    sink_->mcu_label(mcu_image_label(image));
    image_data = std::move(file.bytes);

    sink_->actions_enabled(false);
    int result;
    if (app_in_external_flash()) {
        result = Update_FlashAt(kExternalAppAddress, mcu_image_len, kMcuBlockLen, mcu_image_crc, options);
        log_line(QString());
        log_line(result == 0 ? QString(texts::kUpdateFlashOk) : QString(texts::kUpdateFlashFail));
    } else {
        result = update_mcu_image(mcu_image_len, kMcuBlockLen, chip_id_, options);
        log_line(QString());
        log_line(result == mcu_update_result::kOk ? QStringLiteral("Update MCU is OK!!!!!!")
                                                  : QStringLiteral("Update MCU is fail....."));
    }
    sink_->actions_enabled(true);
    image_data.clear();
    image_data.squeeze();
    return make_report(Operation::UpdateMcu, result);
}

int BootSession::check_mcu()
{
    if (refuse_closed_port())
        return operation_result::kPortClosed;
    sink_->actions_enabled(false);
    link_.discard_input();
    if (mcu_image_len < kMcuCheckMinImageLen) {
        sink_->actions_enabled(true);
        show_error(QStringLiteral("Please input the mcu code"));
        return operation_result::kNoImage;
    }
    const int result = app_in_external_flash() ? Check_FlashRangeCRC(kExternalAppAddress, mcu_image_len, mcu_image_crc)
                                               : check_mcu_crc();
    log_line(result == 0 ? QStringLiteral("Check MCU CRC is OK...") : QStringLiteral("Check MCU CRC is NG..."));
    sink_->actions_enabled(true);
    return result;
}

int BootSession::update_mcu_image(int total, int blk, uint32_t chip, const UpdateOptions& options)
{
    McuRange range;
    const int result = mcu_update_prologue(chip, options.link, &range);
    if (result != mcu_update_result::kOk)
        return result;
    if (options.skip_unchanged && mcu_image_held(total, blk, range))
        return link_.down() ? mcu_update_result::kBlockFailed : mcu_update_result::kOk;
    return program_mcu_image(total, blk, range);
}

int BootSession::mcu_update_prologue(uint32_t chip, const LinkSettings& link, McuRange* range)
{
    if (refuse_closed_port())
        return mcu_update_result::kRefused;
    if (mcu_image_len < kMcuMinImageLen) {
        show_error(QStringLiteral("There aren't any datas to update!"));
        return mcu_update_result::kRefused;
    }
    sink_->clear_log();
    link_.discard_input();
    run_address = 0;
    if (plan_mcu_update(chip, range) != mcu_update_result::kOk)
        return mcu_update_result::kRefused;

    if (connect_device(kIdentifyMode, chip, link) != connect_result::kOk ||
        connect_device(kMcuTargetMode, chip, link) != connect_result::kOk) {
        // A stop ends the connect without a word, as it ends every wait;
        // so does a loss where it ends the waits (its own line said it).
        if (!stop_is_requested() && !link_.ended_by_loss())
            show_error(QStringLiteral("Fail to Connect a mcu device"));
        return mcu_update_result::kRefused;
    }
    return mcu_update_result::kOk;
}

int BootSession::program_mcu_image(int total, int blk, const McuRange& range)
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
            log_line(hex_bytes_text(link_.reply(), kWrongReplyDumpBytes));
            log_line(QStringLiteral("Update mcu flash,and return error command"));
        }
        if (!outcome.accepted) {
            log_line(block_failed_line(w.offset));
            return mcu_update_result::kBlockFailed;
        }
        update_bytes_.bytes_written += w.len;
        if (link_.down())
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
    if (link_.down())
        return mcu_update_result::kBlockFailed;
    log_timestamp();
    return mcu_update_result::kOk;
}
