// The flash image: taking the file, and writing the external flash with it:
// the prologue every update starts with, the whole-image updates from
// address 0 and from a base address, and the differential update, members
// of BootSession.


#include "flashimage/block_frames.h"
#include "flashimage/diff_check.h"
#include "flashimage/flash_limits.h"
#include "flashimage/image_rules.h"
#include "flashimage/update_plan.h"
#include "platform/file_read.h"
#include "protocol/catalogue.h"
#include "protocol/hex_text.h"
#include "protocol/texts.h"
#include "session/boot_session.h"

static_assert(block_write_result::kTimedOut == block_packets_result::kTimedOut,
              "write_flash_blocks counts time-outs of both writers by one code");

int BootSession::flash_update_prologue(const LinkSettings& link, int image_len)
{
    sink_->clear_log();
    timed_out_blocks_in_row = 0;
    if (refuse_closed_port())
        return flash_update_result::kRefused;
    link_.discard_input();
    if (connect_device(kIdentifyMode, chip_id_, link) != connect_result::kOk ||
        connect_device(kFlashTargetMode, chip_id_, link) != connect_result::kOk) {
        // A stop ends the connect without a word, as it ends every wait;
        // so does a loss where it ends the waits (its own line said it).
        if (!stop_is_requested() && !link_.ended_by_loss())
            show_error(QStringLiteral("Fail to Connect a 350x device"));
        return flash_update_result::kRefused;
    }
    log_line(QStringLiteral("Connect"));
    if (identify_flash(0) != flash_id_result::kOk)
        return flash_update_result::kNoFlashId;
    log_line(QStringLiteral("Get Flash ID"));
    if (prepare_flash_mode(flash_mode_for_update(flash_size, chip_id_), true) != prepare_flash_mode_result::kOk)
        return flash_update_result::kModeFailed;
    if (image_len > flash_size) {
        show_error(texts::kImageOverFlashSize);
        return flash_update_result::kTooLarge;
    }
    return flash_update_result::kOk;
}

int BootSession::write_flash_blocks(const QByteArray& source, const QVector<BlockWrite>& plan, bool packets,
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
            log_line(QStringLiteral("CRC Error:") + hex32_text(w.address));
            return flash_update_result::kBlockRefused;
        }
        // A stop ends the writers' waits with the time-out code too.
        const bool timed_out = outcome.result == block_write_result::kTimedOut && !link_.aborted();
        timed_out_blocks_in_row = timed_out ? timed_out_blocks_in_row + 1 : 0;
        if (max_timed_out_blocks > 0 && timed_out_blocks_in_row >= max_timed_out_blocks) {
            log_line(QStringLiteral("%1 block writes in a row got no reply: the chip stopped answering")
                         .arg(timed_out_blocks_in_row));
            return flash_update_result::kChipSilent;
        }
        update_bytes_.bytes_written += w.data_len;
        if (w.progress >= 0)
            set_progress(w.progress);
        link_.pump();
        if (link_.aborted())
            return flash_update_result::kStopped;
    }
    return flash_update_result::kOk;
}

void BootSession::log_update_start()
{
    log_timestamp();
    log_line(QStringLiteral("Start to update flash ..."));
}

void BootSession::log_link_kind()
{
    log_line(QStringLiteral("Mcu_Type = ") + hex32_text(chip_id_));
    log_line(QStringLiteral("vcom_index = ") + QString::number(vcom_index));
}

int BootSession::Update_FlashFull(int len, int blk, const UpdateOptions& options)
{
    int result = flash_update_prologue(options.link, flash_image_len);
    if (result != flash_update_result::kOk)
        return result;
    log_update_start();
    log_link_kind();
    result = write_image_blocks(0, len, blk, TailStyle::Exact, vcom_index == 1, options);
    if (result != flash_update_result::kOk)
        return result;
    set_progress(kProgressDone);
    log_line(texts::kEndUpdateFlash);
    return Check_FlashImageCRC(options.send_file_crc) == flash_crc_result::kOk ? flash_update_result::kOk
                                                                             : flash_update_result::kCheckFailed;
}

int BootSession::Update_FlashAt(uint32_t base, int len, int blk, uint32_t expected_crc,
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
    set_progress(kProgressDone);
    log_line(texts::kEndUpdateFlash);
    return Check_FlashRangeCRC(base, len, expected_crc) == flash_crc_result::kOk ? flash_update_result::kOk
                                                                             : flash_update_result::kCheckFailed;
}

int BootSession::Update_FlashDiff(int len, int blk, const UpdateOptions& options)
{
    // Every record is walked before anything is sent: a block area that
    // cannot be walked to its end, or whose records would leave one another
    // wrong, is refused whole.
    const DiffWalk walk = walk_diff_for_update(image_data.left(len), diff_header);
    if (walk.status == DiffWalkStatus::Illegal) {
        log_line(walk.reason);
        return flash_update_result::kIllegalRecords;
    }
    int result = flash_update_prologue(options.link, flash_image_len);
    if (result != flash_update_result::kOk)
        return result;
    set_progress(0);
    log_update_start();
    if (walk.status == DiffWalkStatus::NoBlocks) {
        log_line(QStringLiteral("There are not any block to update..."));
        return flash_update_result::kRefused;
    }
    const QVector<DiffRecord> records =
        options.skip_unchanged ? diff_records_to_write(walk.records, blk) : walk.records;
    if (link_.aborted())
        return flash_update_result::kStopped;
    const bool packets = vcom_index == 1;
    for (const DiffRecord& r : records) {
        log_line(QStringLiteral("Write block:") + hex32_text(r.address) + QLatin1Char(',') + QString::number(r.length) +
                 QLatin1Char(',') + hex32_text(r.crc));
        log_line(QStringLiteral("Write block data crc:") + hex32_text(diff_record_data_crc(image_data, r)));
        result = write_flash_blocks(image_data, plan_diff_record(r, blk), packets,
                                    options.max_timed_out_blocks);
        if (result != flash_update_result::kOk)
            return result;
        if (Check_FlashBlockCRC(r.address, int(r.length), r.crc) != flash_crc_result::kOk)
            return flash_update_result::kCheckFailed;
        set_progress(r.progress);
        log_line(QString());
    }
    set_progress(kProgressDone);
    log_line(texts::kEndUpdateFlash);
    log_timestamp();
    return flash_update_result::kOk;
}

void BootSession::take_flash_image_check(const FlashImageCheck& check)
{
    flash_image_len = check.len;
    flash_image_crc = check.crc;
    if (check.is_diff) {
        diff_header = check.diff_info;
    } else {
        flash_image_has_info = check.has_info;
        flash_image_info_crc = check.info_crc;
    }
    if (check.ok)
        sink_->flash_label(check.label);
}

int BootSession::load_flash_image(const QString& path)
{
    const WholeFileRead file = read_whole_file(path, kMaxImageFileBytes);
    if (file.status != WholeFileStatus::Ok) {
        sink_->error_box(QStringLiteral("Error"), texts::kReadFail);
        return operation_result::kReadFailed;
    }
    const FlashImageCheck check = check_flash_image(file.bytes, path);
    for (const QString& line : check.log_lines)
        log_line(line);
    take_flash_image_check(check);
    if (!check.ok) {
        show_error(check.error);
        return operation_result::kImageRejected;
    }
    return operation_result::kOk;
}

UpdateReport BootSession::update_flash(const QString& path, const UpdateOptions& options)
{
    update_bytes_ = {};
    if (path.isEmpty()) {
        show_error(QStringLiteral("Please input flash code file"));
        return make_report(Operation::UpdateFlash, operation_result::kNoFileName);
    }
    const bool diff = is_diff_image_name(path);
    WholeFileRead file = read_whole_file(path, kMaxImageFileBytes);
    if (file.status != WholeFileStatus::Ok) {
        if (diff) {
            sink_->error_box(QStringLiteral("Error"), texts::kReadFail);
        } else {
            show_error(texts::kReadFail);
            log_line(path);
        }
        return make_report(Operation::UpdateFlash, operation_result::kReadFailed);
    }
    const FlashImageCheck check = check_flash_image(file.bytes, path);
    // The header words were shown when the file was chosen; the integrity
    // lines are shown again.
    for (const QString& line : check.integrity_lines())
        log_line(line);
    take_flash_image_check(check);
    if (!check.ok) {
        show_error(check.error);
        return make_report(Operation::UpdateFlash, operation_result::kImageRejected);
    }
    image_data = std::move(file.bytes);
    if (!diff && check.has_info == 1) {
        // The info block states the CRC of the flash as programmed: it is
        // not itself written.
        image_data.replace(kImageInfoOffset, kImageInfoEnd - kImageInfoOffset,
                           QByteArray(kImageInfoEnd - kImageInfoOffset, '\xFF'));
    }
    sink_->clear_log();
    sink_->actions_enabled(false);
    int result;
    if (diff)
        result = Update_FlashDiff(flash_image_len, kFlashBlockLen, options);
    else if (app_in_external_flash())
        result = Update_FlashAt(chip_model(chip_id_).flash_image_base, flash_image_len, kFlashBlockLen,
                                image_check_expected_crc(false, flash_image_has_info, flash_image_info_crc,
                                                         flash_image_crc),
                                options);
    else
        result = Update_FlashFull(flash_image_len, kFlashBlockLen, options);
    log_line(QString());
    if (diff)
        log_line(result == 0 ? QStringLiteral("Diff Update flash is OK!!!!!!")
                             : QStringLiteral("Diff Update flash is fail....."));
    else
        log_line(result == 0 ? QString(texts::kUpdateFlashOk) : QString(texts::kUpdateFlashFail));
    sink_->actions_enabled(true);
    image_data.clear();
    image_data.squeeze();
    return make_report(Operation::UpdateFlash, result);
}
