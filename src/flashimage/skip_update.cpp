// Flash updates that write only what the flash does not hold yet, members
// of MainWindow beside the full and differential updates: the same
// prologue, block writers, attempts rule and final check, with a survey of
// the device's CRCs in between (flashimage/skip_plan.h explains it).
//
// A survey question that fails is never put in front of the operator: it
// shows no box, the region counts as changed and is written, and the
// writers and the final check report what they always report. A question
// that times out ends the survey (the device may still be computing, or be
// gone), so a silent device costs one question's wait, not one per region.

#include <QSerialPort>

#include "app/dialogs.h"
#include "app/mainwindow.h"
#include "app/texts.h"
#include "flashimage/image_rules.h"
#include "platform/file_read.h"
#include "protocol/catalogue.h"

namespace {
}  // namespace

SurveyAnswer MainWindow::ask_flash_crc(uint32_t address, uint32_t len)
{
    const int result = run_flash_crc({FlashCrcCheck::Survey, address, len, 0, 0, 0, 0});
    if (result == flash_crc_result::kOk)
        return {SurveyReply::Crc, parse_flash_crc_reply(rx_buf).value};
    if (result == flash_crc_result::kWrongReply || result == flash_crc_result::kStatus2) {
        log_line(QStringLiteral("The CRC of ") + hex32(address) + QLatin1Char(',') + QString::number(len) +
                 QStringLiteral(" could not be read: written"));
        return {SurveyReply::Unreadable, 0};
    }
    if (!aborted())
        log_line(QStringLiteral("No CRC from the device: the rest of the image is written"));
    return {SurveyReply::StopAsking, 0};
}

int MainWindow::write_changed_blocks(uint32_t base, int len, int blk, TailStyle style, bool packets)
{
    const QVector<BlockWrite> all = plan_flash_image(len, blk, base, style);
    const SkipPlan survey = survey_flash_image(image_as_left_in_flash(image_data, len, blk, style), blk,
                                               [&](const SurveyRegion& r) {
                                                   return ask_flash_crc(base + r.offset, r.len);
                                               });
    if (aborted())
        return flash_update_result::kStopped;
    // The survey's blocks are the plan's, one for one.
    QVector<BlockWrite> changed;
    qint64 bytes = 0;
    for (int i = 0; i < all.size(); ++i) {
        if (i >= survey.write.size() || survey.write.at(i)) {
            changed.append(all.at(i));
            bytes += all.at(i).data_len;
        }
    }
    log_line(skip_survey_line(changed.size(), all.size(), bytes));
    update_bytes_.bytes_skipped = len - bytes;
    // The sequence bit flips after every block sent, as within a .diff
    // record; the progress bar counts the blocks sent.
    int whole = 0;
    for (const BlockWrite& w : changed)
        whole += w.tail ? 0 : 1;
    for (int k = 0; k < changed.size(); ++k) {
        BlockWrite& w = changed[k];
        w.seq = k & 1;
        if (!w.tail)
            w.progress = int(100 * qint64(k) / whole);
    }
    for (const BlockWrite& w : changed) {
        const int result = write_flash_blocks(image_data, {w}, packets);
        if (result != flash_update_result::kOk)
            return result;
    }
    return flash_update_result::kOk;
}

int MainWindow::Update_FlashFullSkipUnchanged(int len, int blk, const LinkSettings& link, bool send_file_crc)
{
    int result = flash_update_prologue(link, flash_image_len);
    if (result != flash_update_result::kOk)
        return result;
    log_update_start();
    log_link_kind();
    result = write_changed_blocks(0, len, blk, TailStyle::Exact, vcom_index == 1);
    if (result != flash_update_result::kOk)
        return result;
    set_progress(kProgressDone);
    log_line(texts::kEndUpdateFlash);
    return Check_FlashImageCRC(send_file_crc) == flash_crc_result::kOk ? flash_update_result::kOk : flash_update_result::kStopped;
}

int MainWindow::Update_FlashAtSkipUnchanged(uint32_t base, int len, int blk, uint32_t expected_crc,
                                            const LinkSettings& link)
{
    int result = flash_update_prologue(link, len);
    if (result != flash_update_result::kOk)
        return result;
    log_update_start();
    log_link_kind();
    result = write_changed_blocks(base, len, blk, TailStyle::PaddedAlways, false);
    if (result != flash_update_result::kOk)
        return result;
    set_progress(kProgressDone);
    log_line(texts::kEndUpdateFlash);
    return Check_FlashRangeCRC(base, len, expected_crc) == flash_crc_result::kOk ? flash_update_result::kOk
                                                                             : flash_update_result::kStopped;
}

int MainWindow::Update_FlashDiffSkipUnchanged(int len, int blk, const LinkSettings& link)
{
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

    // A record is left out when its range already holds the CRC the record
    // says it has once written: an interrupted run finishes what it had not.
    QVector<DiffRecord> changed;
    int blocks = 0;
    int changed_blocks = 0;
    qint64 bytes = 0;
    bool asking = true;
    for (const DiffRecord& r : walk.records) {
        const int record_blocks = plan_diff_record(r, blk).size();
        blocks += record_blocks;
        SurveyAnswer a{SurveyReply::StopAsking, 0};
        if (asking)
            a = ask_flash_crc(r.address, r.length);
        if (aborted())
            return flash_update_result::kStopped;
        asking = a.kind != SurveyReply::StopAsking;
        if (a.kind == SurveyReply::Crc && a.crc == r.crc) {
            update_bytes_.bytes_skipped += r.length;
            continue;
        }
        changed.append(r);
        changed_blocks += record_blocks;
        bytes += r.length;
    }
    log_line(skip_survey_line(changed_blocks, blocks, bytes));

    const bool packets = vcom_index == 1;
    qint64 done = 0;
    for (const DiffRecord& r : changed) {
        log_line(QStringLiteral("Write block:") + hex32(r.address) + QLatin1Char(',') + QString::number(r.length) +
                 QLatin1Char(',') + hex32(r.crc));
        log_line(QStringLiteral("Write block data crc:") + hex32(diff_record_data_crc(image_data, r)));
        result = write_flash_blocks(image_data, plan_diff_record(r, blk), packets);
        if (result != flash_update_result::kOk)
            return result;
        if (Check_FlashBlockCRC(r.address, int(r.length), r.crc) != flash_crc_result::kOk)
            return flash_update_result::kStopped;
        done += r.length;
        set_progress(bytes > 0 ? int(100 * done / bytes) : kProgressDone);
        log_line(QString());
    }
    set_progress(kProgressDone);
    log_line(texts::kEndUpdateFlash);
    log_timestamp();
    return flash_update_result::kOk;
}
