// The flash image: taking the file, and writing the external flash with it:
// the prologue every update starts with, the whole-image updates from
// address 0 and from a base address, and the differential update. Touch the
// link, the flash image, the count of bytes written and the count of block
// writes in a row with no reply.


#include "flashimage/block_frames.h"
#include "flashimage/diff_check.h"
#include "flashimage/flash_limits.h"
#include "flashimage/image_rules.h"
#include "flashimage/update_plan.h"
#include "platform/file_read.h"
#include "protocol/catalogue.h"
#include "protocol/hex_text.h"
#include "protocol/texts.h"
#include "session/flash_commands.h"
#include "session/flash_updates.h"
#include "session/operation.h"
#include "session/session_sink.h"

static_assert(block_write_result::kTimedOut == block_packets_result::kTimedOut,
              "write_flash_blocks counts time-outs of both writers by one code");

FlashUpdates::FlashUpdates(const SessionParts& parts, PortSession& port, FlashCommands& flash)
    : link_(parts.link), chip_(parts.chip), images_(parts.images), bytes_(parts.bytes), port_(port), flash_(flash)
{
}

int FlashUpdates::flash_update_prologue(const LinkSettings& link, int image_len)
{
    link_.sink().clear_log();
    timed_out_blocks_in_row_ = 0;
    if (refuse_closed_port(link_))
        return flash_update_result::kRefused;
    link_.discard_input();
    if (port_.connect(kIdentifyMode, link) != connect_result::kOk ||
        port_.connect(kFlashTargetMode, link) != connect_result::kOk) {
        // A stop ends the connect without a word, as it ends every wait;
        // so does a loss where it ends the waits (its own line said it).
        if (!link_.stop().requested() && !link_.ended_by_loss())
            say::error(link_, QStringLiteral("Fail to Connect a 350x device"));
        return flash_update_result::kRefused;
    }
    say::line(link_, QStringLiteral("Connect"));
    if (flash_.identify_flash(0) != flash_id_result::kOk)
        return flash_update_result::kNoFlashId;
    say::line(link_, QStringLiteral("Get Flash ID"));
    if (flash_.prepare_flash_mode(flash_mode_for_update(chip_.flash_size, chip_.chip_id), true) != prepare_flash_mode_result::kOk)
        return flash_update_result::kModeFailed;
    if (image_len > chip_.flash_size) {
        say::error(link_, texts::kImageOverFlashSize);
        return flash_update_result::kTooLarge;
    }
    return flash_update_result::kOk;
}

int FlashUpdates::write_flash_blocks(const QByteArray& source, const QVector<BlockWrite>& plan, bool packets,
                                    int max_timed_out_blocks)
{
    QByteArray staged;
    for (const BlockWrite& w : plan) {
        // The plans only name bytes the source holds; a write of anything
        // else never reaches the flash.
        if (!stage_block(source, w, &staged))
            return flash_update_result::kIllegalRecords;
        const AttemptOutcome outcome =
            write_with_attempts(w.tail ? AttemptRule::FlashTail : AttemptRule::FlashBlock, [&] {
                return packets ? Write_FlashBlockPackets(staged, w.address, w.seq)
                               : Write_FlashBlock(staged, w.address, w.seq);
            });
        if (!outcome.accepted) {
            say::line(link_, QStringLiteral("CRC Error:") + hex32_text(w.address));
            return flash_update_result::kBlockRefused;
        }
        // A stop ends the writers' waits with the time-out code too.
        const bool timed_out = outcome.result == block_write_result::kTimedOut && !link_.aborted();
        timed_out_blocks_in_row_ = timed_out ? timed_out_blocks_in_row_ + 1 : 0;
        if (max_timed_out_blocks > 0 && timed_out_blocks_in_row_ >= max_timed_out_blocks) {
            say::line(link_, QStringLiteral("%1 block writes in a row got no reply: the chip stopped answering")
                         .arg(timed_out_blocks_in_row_));
            return flash_update_result::kChipSilent;
        }
        bytes_.bytes_written += w.data_len;
        if (w.progress >= 0)
            say::progress(link_, w.progress);
        link_.pump();
        if (link_.aborted())
            return flash_update_result::kStopped;
    }
    return flash_update_result::kOk;
}

void FlashUpdates::log_update_start()
{
    say::timestamp(link_);
    say::line(link_, QStringLiteral("Start to update flash ..."));
}

void FlashUpdates::log_link_kind()
{
    say::line(link_, QStringLiteral("Mcu_Type = ") + hex32_text(chip_.chip_id));
    say::line(link_, QStringLiteral("vcom_index = ") + QString::number((chip_.vcom ? 1 : 0)));
}

int FlashUpdates::Update_FlashFull(int len, int blk, const UpdateOptions& options)
{
    int result = flash_update_prologue(options.link, images_.flash_len);
    if (result != flash_update_result::kOk)
        return result;
    log_update_start();
    log_link_kind();
    result = write_image_blocks(0, len, blk, TailStyle::Exact, chip_.vcom, options);
    if (result != flash_update_result::kOk)
        return result;
    say::progress(link_, kProgressDone);
    say::line(link_, texts::kEndUpdateFlash);
    return flash_.Check_FlashImageCRC(options.send_file_crc) == flash_crc_result::kOk ? flash_update_result::kOk
                                                                             : flash_update_result::kCheckFailed;
}

int FlashUpdates::Update_FlashAt(uint32_t base, int len, int blk, uint32_t expected_crc,
                                const UpdateOptions& options)
{
    // The length written is the one that must fit: this also serves an MCU
    // image kept in the external flash, whatever flash image was loaded before.
    int result = flash_update_prologue(options.link, len);
    if (result != flash_update_result::kOk)
        return result;
    log_update_start();
    log_link_kind();
    result = write_image_blocks(base, len, blk, TailStyle::PaddedAlways, false, options);
    if (result != flash_update_result::kOk)
        return result;
    say::progress(link_, kProgressDone);
    say::line(link_, texts::kEndUpdateFlash);
    return flash_.Check_FlashRangeCRC(base, len, expected_crc) == flash_crc_result::kOk ? flash_update_result::kOk
                                                                             : flash_update_result::kCheckFailed;
}

int FlashUpdates::Update_FlashDiff(int len, int blk, const UpdateOptions& options)
{
    // Every record is walked before anything is sent: a block area that
    // cannot be walked to its end, or whose records would leave one another
    // wrong, is refused whole.
    const DiffWalk walk = walk_diff_for_update(images_.data.left(len), images_.diff_header);
    if (walk.status == DiffWalkStatus::Illegal) {
        say::line(link_, walk.reason);
        return flash_update_result::kIllegalRecords;
    }
    int result = flash_update_prologue(options.link, images_.flash_len);
    if (result != flash_update_result::kOk)
        return result;
    say::progress(link_, 0);
    log_update_start();
    if (walk.status == DiffWalkStatus::NoBlocks) {
        say::line(link_, QStringLiteral("There are not any block to update..."));
        return flash_update_result::kRefused;
    }
    const QVector<DiffRecord> records =
        options.skip_unchanged ? diff_records_to_write(walk.records, blk) : walk.records;
    if (link_.aborted())
        return flash_update_result::kStopped;
    const bool packets = chip_.vcom;
    for (const DiffRecord& r : records) {
        say::line(link_, QStringLiteral("Write block:") + hex32_text(r.address) + QLatin1Char(',') + QString::number(r.length) +
                 QLatin1Char(',') + hex32_text(r.crc));
        say::line(link_, QStringLiteral("Write block data crc:") + hex32_text(diff_record_data_crc(images_.data, r)));
        result = write_flash_blocks(images_.data, plan_diff_record(r, blk), packets,
                                    options.max_timed_out_blocks);
        if (result != flash_update_result::kOk)
            return result;
        if (flash_.Check_FlashBlockCRC(r.address, int(r.length), r.crc) != flash_crc_result::kOk)
            return flash_update_result::kCheckFailed;
        say::progress(link_, r.progress);
        say::line(link_, QString());
    }
    say::progress(link_, kProgressDone);
    say::line(link_, texts::kEndUpdateFlash);
    say::timestamp(link_);
    return flash_update_result::kOk;
}

void FlashUpdates::take_flash_image_check(const FlashImageCheck& check)
{
    images_.flash_len = check.len;
    images_.flash_crc = check.crc;
    if (check.is_diff) {
        images_.diff_header = check.diff_info;
    } else {
        images_.flash_has_info = check.has_info == 1;
        images_.flash_info_crc = check.info_crc;
    }
    if (check.ok)
        link_.sink().flash_label(check.label);
}

int FlashUpdates::load_flash_image(const QString& path)
{
    const WholeFileRead file = read_whole_file(path, kMaxImageFileBytes);
    if (file.status != WholeFileStatus::Ok) {
        link_.sink().error_box(QStringLiteral("Error"), texts::kReadFail);
        return operation_result::kReadFailed;
    }
    const FlashImageCheck check = check_flash_image(file.bytes, path);
    for (const QString& line : check.log_lines)
        say::line(link_, line);
    take_flash_image_check(check);
    if (!check.ok) {
        say::error(link_, check.error);
        return operation_result::kImageRejected;
    }
    return operation_result::kOk;
}

int FlashUpdates::update_flash(const QString& path, const UpdateOptions& options)
{
    if (path.isEmpty()) {
        say::error(link_, QStringLiteral("Please input flash code file"));
        return operation_result::kNoFileName;
    }
    const bool diff = is_diff_image_name(path);
    WholeFileRead file = read_whole_file(path, kMaxImageFileBytes);
    if (file.status != WholeFileStatus::Ok) {
        if (diff) {
            link_.sink().error_box(QStringLiteral("Error"), texts::kReadFail);
        } else {
            say::error(link_, texts::kReadFail);
            say::line(link_, path);
        }
        return operation_result::kReadFailed;
    }
    const FlashImageCheck check = check_flash_image(file.bytes, path);
    // The header words were shown when the file was chosen; the integrity
    // lines are shown again.
    for (const QString& line : check.integrity_lines())
        say::line(link_, line);
    take_flash_image_check(check);
    if (!check.ok) {
        say::error(link_, check.error);
        return operation_result::kImageRejected;
    }
    images_.data = std::move(file.bytes);
    if (!diff && check.has_info == 1) {
        // The info block states the CRC of the flash as programmed: it is
        // not itself written.
        images_.data.replace(kImageInfoOffset, kImageInfoEnd - kImageInfoOffset,
                           QByteArray(kImageInfoEnd - kImageInfoOffset, '\xFF'));
    }
    link_.sink().clear_log();
    link_.sink().actions_enabled(false);
    int result;
    if (diff)
        result = Update_FlashDiff(images_.flash_len, kFlashBlockLen, options);
    else if (chip_.app_in_external_flash())
        result = Update_FlashAt(chip_model(chip_.chip_id).flash_image_base, images_.flash_len, kFlashBlockLen,
                                image_check_expected_crc(false, images_.flash_has_info, images_.flash_info_crc,
                                                         images_.flash_crc),
                                options);
    else
        result = Update_FlashFull(images_.flash_len, kFlashBlockLen, options);
    say::line(link_, QString());
    if (diff)
        say::line(link_, result == 0 ? QStringLiteral("Diff Update flash is OK!!!!!!")
                             : QStringLiteral("Diff Update flash is fail....."));
    else
        say::line(link_, result == 0 ? QString(texts::kUpdateFlashOk) : QString(texts::kUpdateFlashFail));
    link_.sink().actions_enabled(true);
    images_.data.clear();
    images_.data.squeeze();
    return result;
}
