// Writing the external flash: the prologue every update starts with, the
// whole-image updates from address 0 and from a base address, and the
// differential update, members of MainWindow.

#include <QSerialPort>

#include "app/mainwindow.h"
#include "app/texts.h"
#include "flashimage/block_frames.h"
#include "flashimage/update_plan.h"
#include "protocol/catalogue.h"

static_assert(block_write_result::kTimedOut == block_packets_result::kTimedOut,
              "write_flash_blocks counts time-outs of both writers by one code");

int MainWindow::flash_update_prologue(const LinkSettings& link, int image_len)
{
    clear_log();
    timed_out_blocks_in_row = 0;
    if (refuse_closed_port())
        return flash_update_result::kRefused;
    discard_input();
    if (connect_device(kIdentifyMode, chip_id, link) != connect_result::kOk ||
        connect_device(kFlashTargetMode, chip_id, link) != connect_result::kOk) {
        show_error(QStringLiteral("Fail to Connect a 350x device"));
        return flash_update_result::kRefused;
    }
    log_line(QStringLiteral("Connect"));
    if (identify_flash(0) != flash_id_result::kOk)
        return flash_update_result::kNoFlashId;
    log_line(QStringLiteral("Get Flash ID"));
    if (prepare_flash_mode(flash_mode_for_update(flash_size, chip_id), true) != prepare_flash_mode_result::kOk)
        return flash_update_result::kModeFailed;
    if (image_len > flash_size) {
        show_error(texts::kImageOverFlashSize);
        return flash_update_result::kStopped;
    }
    return flash_update_result::kOk;
}

int MainWindow::write_flash_blocks(const QByteArray& source, const QVector<BlockWrite>& plan, bool packets)
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
            log_line(QStringLiteral("CRC Error:") + hex32(w.address));
            return flash_update_result::kBlockRefused;
        }
        // A stop ends the writers' waits with the time-out code too.
        const bool timed_out = outcome.result == block_write_result::kTimedOut && !aborted();
        timed_out_blocks_in_row = timed_out ? timed_out_blocks_in_row + 1 : 0;
        if (max_timed_out_blocks > 0 && timed_out_blocks_in_row >= max_timed_out_blocks) {
            log_line(QStringLiteral("%1 block writes in a row got no reply: the chip stopped answering")
                         .arg(timed_out_blocks_in_row));
            return flash_update_result::kChipSilent;
        }
        update_bytes_.bytes_written += w.data_len;
        if (w.progress >= 0)
            set_progress(w.progress);
        pump_events();
        if (aborted())
            return flash_update_result::kStopped;
    }
    return flash_update_result::kOk;
}

void MainWindow::log_update_start()
{
    log_timestamp();
    log_line(QStringLiteral("Start to update flash ..."));
}

void MainWindow::log_link_kind()
{
    log_line(QStringLiteral("Mcu_Type = ") + hex32(chip_id));
    log_line(QStringLiteral("vcom_index = ") + QString::number(vcom_index));
}

int MainWindow::Update_FlashFull(int len, int blk, const LinkSettings& link, bool send_file_crc, UpdateMode mode)
{
    int result = flash_update_prologue(link, flash_image_len);
    if (result != flash_update_result::kOk)
        return result;
    log_update_start();
    log_link_kind();
    result = write_image_blocks(0, len, blk, TailStyle::Exact, vcom_index == 1, mode);
    if (result != flash_update_result::kOk)
        return result;
    set_progress(kProgressDone);
    log_line(texts::kEndUpdateFlash);
    return Check_FlashImageCRC(send_file_crc) == flash_crc_result::kOk ? flash_update_result::kOk : flash_update_result::kStopped;
}

int MainWindow::Update_FlashAt(uint32_t base, int len, int blk, uint32_t expected_crc, const LinkSettings& link,
                               UpdateMode mode)
{
    // The length written is the one that must fit: this also serves an MCU
    // image kept in the external flash, whatever flash image was loaded before.
    int result = flash_update_prologue(link, len);
    if (result != flash_update_result::kOk)
        return result;
    log_update_start();
    log_link_kind();
    result = write_image_blocks(base, len, blk, TailStyle::PaddedAlways, false, mode);
    if (result != flash_update_result::kOk)
        return result;
    set_progress(kProgressDone);
    log_line(texts::kEndUpdateFlash);
    return Check_FlashRangeCRC(base, len, expected_crc) == flash_crc_result::kOk ? flash_update_result::kOk
                                                                             : flash_update_result::kStopped;
}

int MainWindow::Update_FlashDiff(int len, int blk, const LinkSettings& link, UpdateMode mode)
{
    // Every record is walked before anything is sent: a block area that
    // cannot be walked to its end is refused whole.
    const DiffWalk walk = walk_diff_records(image_data.left(len), file_diff_info);
    if (walk.status == DiffWalkStatus::Illegal) {
        log_line(walk.reason);
        return flash_update_result::kIllegalRecords;
    }
    int result = flash_update_prologue(link, flash_image_len);
    if (result != flash_update_result::kOk)
        return result;
    set_progress(0);
    log_update_start();
    if (walk.status == DiffWalkStatus::NoBlocks) {
        log_line(QStringLiteral("There are not any block to update..."));
        return flash_update_result::kRefused;
    }
    const QVector<DiffRecord> records =
        mode == UpdateMode::Full ? walk.records : diff_records_to_write(walk.records, blk);
    if (aborted())
        return flash_update_result::kStopped;
    const bool packets = vcom_index == 1;
    for (const DiffRecord& r : records) {
        log_line(QStringLiteral("Write block:") + hex32(r.address) + QLatin1Char(',') + QString::number(r.length) +
                 QLatin1Char(',') + hex32(r.crc));
        log_line(QStringLiteral("Write block data crc:") + hex32(diff_record_data_crc(image_data, r)));
        result = write_flash_blocks(image_data, plan_diff_record(r, blk), packets);
        if (result != flash_update_result::kOk)
            return result;
        if (Check_FlashBlockCRC(r.address, int(r.length), r.crc) != flash_crc_result::kOk)
            return flash_update_result::kStopped;
        set_progress(r.progress);
        log_line(QString());
    }
    set_progress(kProgressDone);
    log_line(texts::kEndUpdateFlash);
    log_timestamp();
    return flash_update_result::kOk;
}
