// The MCU image: taking the file, programming the chip's own flash with it
// (where it goes, erase, block by block, then the boot loader's CRC of what
// it holds) and checking it. Touch the link, the MCU image and the count of
// bytes written.


#include "flashimage/flash_limits.h"
#include "flashimage/update_plan.h"
#include "mcu/mcu_frames.h"
#include "mcu/mcu_plan.h"
#include "platform/file_read.h"
#include "protocol/catalogue.h"
#include "protocol/frame.h"
#include "protocol/hex_text.h"
#include "protocol/texts.h"
#include "session/flash_commands.h"
#include "session/flash_updates.h"
#include "session/mcu_procedures.h"
#include "session/operation.h"
#include "session/session_sink.h"

namespace {
QString block_failed_line(uint32_t offset)
{
    return QStringLiteral("UPDATE_FLASH NG, Addr : 0x") + QString::number(offset, 16);
}
}  // namespace

McuProcedures::McuProcedures(const SessionParts& parts, PortSession& port, FlashCommands& flash,
                             FlashUpdates& updates)
    : link_(parts.link), chip_(parts.chip), images_(parts.images), bytes_(parts.bytes), port_(port), flash_(flash),
      updates_(updates)
{
}

int McuProcedures::write_mcu_block(const QByteArray& data, uint32_t block_offset)
{
    return chip_.vcom ? program_mcu_frames(data, block_offset) : program_mcu_block(data, block_offset);
}

int McuProcedures::plan_mcu_update(uint32_t chip, McuRange* range)
{
    *range = plan_mcu_range(images_.data.left(images_.mcu_len), chip);
    const McuRange& r = *range;
    if (!r.run_address_model) {
        if (r.verdict == McuRangeVerdict::TooLarge) {
            say::line(link_, QStringLiteral("Mcu maximum eflash size is ") + QString::number(r.limit));
            say::error(link_, texts::kImageOverMcuSize);
            return mcu_update_result::kRefused;
        }
        return mcu_update_result::kOk;
    }
    images_.run_address = r.run_address;
    say::line(link_, QStringLiteral("enter_Addr:") + hex32_text(images_.run_address));
    switch (r.verdict) {
    case McuRangeVerdict::RunAddressTooLow:
        say::line(link_, QStringLiteral("The run address is less than 0x8008000:") + hex32_text(images_.run_address));
        return mcu_update_result::kRefused;
    case McuRangeVerdict::RunAddressOutOfRange:
        // Its page would put the start offset below the application area,
        // where the boot loader's own code lives.
        say::line(link_, QStringLiteral("The run address is out of the mcu flash:") + hex32_text(images_.run_address));
        return mcu_update_result::kRefused;
    default:
        break;
    }
    say::line(link_, QStringLiteral("sAddr:") + hex32_text(r.start) + QStringLiteral(" eAddr:") + hex32_text(r.end));
    if (r.verdict == McuRangeVerdict::TooLarge) {
        say::error(link_, texts::kImageOverMcuSize);
        return mcu_update_result::kRefused;
    }
    return mcu_update_result::kOk;
}

int McuProcedures::load_mcu_image(const QString& path)
{
    const WholeFileRead file = read_whole_file(path, kMaxImageFileBytes);
    if (file.status != WholeFileStatus::Ok) {
        link_.sink().error_box(QStringLiteral("Error"), texts::kReadFail);
        return operation_result::kReadFailed;
    }
    // An image too short to hold the run-address word leaves images_.run_address 0.
    const McuImage image = read_mcu_image(file.bytes);
    images_.mcu_crc = image.crc;
    images_.mcu_len = image.len;
    images_.run_address = image.run_address;
    say::line(link_, QStringLiteral("enter_Addr:") + hex32_text(images_.run_address));
    link_.sink().mcu_label(mcu_image_label(image));
    return operation_result::kOk;
}

int McuProcedures::update_mcu(const QString& path, const UpdateOptions& options)
{
    if (path.isEmpty()) {
        say::error(link_, QStringLiteral("Please input mcu code file"));
        return operation_result::kNoFileName;
    }
    // Read afresh: the file may have been rebuilt since it was chosen.
    WholeFileRead file = read_whole_file(path, kMaxImageFileBytes);
    if (file.status != WholeFileStatus::Ok) {
        say::error(link_, texts::kReadFail);
        say::line(link_, path);
        return operation_result::kReadFailed;
    }
    const McuImage image = read_mcu_image(file.bytes);
    images_.mcu_crc = image.crc;
    images_.mcu_len = image.len;
    link_.sink().mcu_label(mcu_image_label(image));
    images_.data = std::move(file.bytes);

    link_.sink().actions_enabled(false);
    int result;
    if (chip_.app_in_external_flash()) {
        result = updates_.Update_FlashAt(kExternalAppAddress, images_.mcu_len, kMcuBlockLen, images_.mcu_crc, options);
        say::line(link_, QString());
        say::line(link_, result == 0 ? QString(texts::kUpdateFlashOk) : QString(texts::kUpdateFlashFail));
    } else {
        result = update_mcu_image(images_.mcu_len, kMcuBlockLen, chip_.chip_id, options);
        say::line(link_, QString());
        say::line(link_, result == mcu_update_result::kOk ? QStringLiteral("Update MCU is OK!!!!!!")
                                                  : QStringLiteral("Update MCU is fail....."));
    }
    link_.sink().actions_enabled(true);
    images_.data.clear();
    images_.data.squeeze();
    return result;
}

int McuProcedures::check_mcu()
{
    if (refuse_closed_port(link_))
        return operation_result::kPortClosed;
    link_.sink().actions_enabled(false);
    link_.discard_input();
    if (images_.mcu_len < kMcuCheckMinImageLen) {
        link_.sink().actions_enabled(true);
        say::error(link_, QStringLiteral("Please input the mcu code"));
        return operation_result::kNoImage;
    }
    const int result = chip_.app_in_external_flash() ? flash_.Check_FlashRangeCRC(kExternalAppAddress, images_.mcu_len, images_.mcu_crc)
                                               : check_mcu_crc();
    say::line(link_, result == 0 ? QStringLiteral("Check MCU CRC is OK...") : QStringLiteral("Check MCU CRC is NG..."));
    link_.sink().actions_enabled(true);
    return result;
}

int McuProcedures::update_mcu_image(int total, int blk, uint32_t chip, const UpdateOptions& options)
{
    McuRange range;
    const int result = mcu_update_prologue(chip, options.link, &range);
    if (result != mcu_update_result::kOk)
        return result;
    if (options.skip_unchanged && mcu_image_held(total, blk, range))
        return link_.down() ? mcu_update_result::kBlockFailed : mcu_update_result::kOk;
    return program_mcu_image(total, blk, range);
}

int McuProcedures::mcu_update_prologue(uint32_t chip, const LinkSettings& link, McuRange* range)
{
    if (refuse_closed_port(link_))
        return mcu_update_result::kRefused;
    if (images_.mcu_len < kMcuMinImageLen) {
        say::error(link_, QStringLiteral("There aren't any datas to update!"));
        return mcu_update_result::kRefused;
    }
    link_.sink().clear_log();
    link_.discard_input();
    images_.run_address = 0;
    if (plan_mcu_update(chip, range) != mcu_update_result::kOk)
        return mcu_update_result::kRefused;

    if (port_.connect(kIdentifyMode, link) != connect_result::kOk ||
        port_.connect(kMcuTargetMode, link) != connect_result::kOk) {
        // A stop ends the connect without a word, as it ends every wait;
        // so does a loss where it ends the waits (its own line said it).
        if (!link_.stop().requested() && !link_.ended_by_loss())
            say::error(link_, QStringLiteral("Fail to Connect a mcu device"));
        return mcu_update_result::kRefused;
    }
    return mcu_update_result::kOk;
}

int McuProcedures::program_mcu_image(int total, int blk, const McuRange& range)
{
    say::progress(link_, 0);
    say::timestamp(link_);
    if (erase_mcu(range.start, range.end) != mcu_erase_result::kOk) {
        say::line(link_, QStringLiteral("Erase flash NG!!!"));
        return mcu_update_result::kEraseFailed;
    }
    say::line(link_, QStringLiteral("Erase flash OK..."));
    say::timestamp(link_);
    say::line(link_, QStringLiteral("Program flash.."));

    for (const McuBlockWrite& w : plan_mcu_blocks(total, blk, range.start)) {
        const QByteArray data = images_.data.mid(w.data_offset, w.len);
        // The plan names only bytes of the image; anything else never reaches the chip.
        if (data.size() != w.len)
            return w.final ? mcu_update_result::kFinalBlockFailed : mcu_update_result::kBlockFailed;
        const AttemptOutcome outcome =
            write_with_attempts(AttemptRule::McuBlock, [&] { return write_mcu_block(data, w.offset); });
        if (w.final) {
            if (!outcome.accepted) {
                say::line(link_, block_failed_line(w.offset));
                return mcu_update_result::kFinalBlockFailed;
            }
            bytes_.bytes_written += w.len;
            break;
        }
        if (outcome.attempts == kMaxWriteAttempts && outcome.result == mcu_program_result::kWrongLetter) {
            say::line(link_, hex_bytes_text(link_.reply().bytes(), kWrongReplyDumpBytes));
            say::line(link_, QStringLiteral("Update mcu flash,and return error command"));
        }
        if (!outcome.accepted) {
            say::line(link_, block_failed_line(w.offset));
            return mcu_update_result::kBlockFailed;
        }
        bytes_.bytes_written += w.len;
        if (link_.down())
            return mcu_update_result::kBlockFailed;
        say::progress(link_, w.progress);
    }

    say::progress(link_, kProgressDone);
    say::timestamp(link_);
    if (check_mcu_crc() != mcu_crc_result::kOk) {
        say::line(link_, QStringLiteral("Check CRC is NG..."));
        return mcu_update_result::kCrcFailed;
    }
    say::line(link_, QStringLiteral("Check CRC is OK..."));
    if (link_.down())
        return mcu_update_result::kBlockFailed;
    say::timestamp(link_);
    return mcu_update_result::kOk;
}
