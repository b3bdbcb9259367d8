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
constexpr int kProgressDone = 100;
constexpr int kFlashBlockSize = 2048;
constexpr uint32_t kVq210Uart0FlashBase = 0x80000;  // below it, that model's own code
}  // namespace

SurveyAnswer MainWindow::ask_flash_crc(uint32_t address, uint32_t len)
{
    const int result = run_flash_crc({FlashCrcCheck::Survey, address, len, 0, 0, 0, 0});
    if (result == flash_crc::kOk)
        return {SurveyReply::Crc, parse_flash_crc_reply(rx_buf).value};
    if (result == flash_crc::kWrongReply || result == flash_crc::kStatus2) {
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
        return flash_update::kStopped;
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
    skip_report.bytes_skipped = len - bytes;
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
        if (result != flash_update::kOk)
            return result;
        skip_report.bytes_written += w.data_len;
    }
    return flash_update::kOk;
}

int MainWindow::Update_FlashFullSkipUnchanged(int len, int blk, const LinkSettings& link, bool send_file_crc)
{
    skip_report = {};
    int result = flash_update_prologue(link, flash_image_len);
    if (result != flash_update::kOk)
        return result;
    log_update_start();
    log_link_kind();
    result = write_changed_blocks(0, len, blk, TailStyle::Exact, vcom_index == 1);
    if (result != flash_update::kOk)
        return result;
    set_progress(kProgressDone);
    log_line(texts::kEndUpdateFlash);
    return Check_FlashImageCRC(send_file_crc) == flash_crc::kOk ? flash_update::kOk : flash_update::kStopped;
}

int MainWindow::Update_FlashAtSkipUnchanged(uint32_t base, int len, int blk, const LinkSettings& link)
{
    skip_report = {};
    int result = flash_update_prologue(link, len);
    if (result != flash_update::kOk)
        return result;
    log_update_start();
    log_link_kind();
    result = write_changed_blocks(base, len, blk, TailStyle::PaddedAlways, false);
    if (result != flash_update::kOk)
        return result;
    set_progress(kProgressDone);
    log_line(texts::kEndUpdateFlash);
    uint32_t expected = flash_image_has_info == 1 ? flash_image_info_crc : flash_image_crc;
    if (base == 0)
        expected = mcu_image_crc;
    return Check_FlashRangeCRC(base, len, expected) == flash_crc::kOk ? flash_update::kOk
                                                                             : flash_update::kStopped;
}

int MainWindow::Update_FlashDiffSkipUnchanged(int len, int blk, const LinkSettings& link)
{
    skip_report = {};
    const DiffWalk walk = walk_diff_records(image_data.left(len), file_diff_info);
    if (walk.status == DiffWalkStatus::Illegal) {
        log_line(walk.reason);
        return flash_update::kIllegalRecords;
    }
    int result = flash_update_prologue(link, flash_image_len);
    if (result != flash_update::kOk)
        return result;
    set_progress(0);
    log_update_start();
    if (walk.status == DiffWalkStatus::NoBlocks) {
        log_line(QStringLiteral("There are not any block to update..."));
        return flash_update::kRefused;
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
            return flash_update::kStopped;
        asking = a.kind != SurveyReply::StopAsking;
        if (a.kind == SurveyReply::Crc && a.crc == r.crc) {
            skip_report.bytes_skipped += r.length;
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
        if (result != flash_update::kOk)
            return result;
        if (Check_FlashBlockCRC(r.address, int(r.length), r.crc) != flash_crc::kOk)
            return flash_update::kStopped;
        skip_report.bytes_written += r.length;
        done += r.length;
        set_progress(bytes > 0 ? int(100 * done / bytes) : kProgressDone);
        log_line(QString());
    }
    set_progress(kProgressDone);
    log_line(texts::kEndUpdateFlash);
    log_timestamp();
    return flash_update::kOk;
}

int MainWindow::Update_FlashFileSkipUnchanged(const QString& name, const LinkSettings& link, bool send_file_crc)
{
    // As the Update Flash button takes its file, refusals included.
    if (name.isEmpty()) {
        show_error(QStringLiteral("Please input flash code file"));
        return flash_update::kRefused;
    }
    const bool diff = is_diff_image_name(name);
    if (diff)
        flash_image_path = name;
    FileRead file = read_regular_file(name, kMaxImageFileBytes);
    if (!file.ok) {
        if (diff) {
            Dialogs::current().critical(this, tr("Error"), tr(texts::kReadFail));
        } else {
            show_error(texts::kReadFail);
            log_line(name);
        }
        return flash_update::kRefused;
    }
    const FlashImageCheck check = check_flash_image(file.bytes, name);
    for (const QString& line : check.integrity_lines())
        log_line(line);
    take_flash_image_check(check);
    if (!check.ok) {
        show_error(check.error);
        return flash_update::kRefused;
    }
    image_data = std::move(file.bytes);
    if (!diff && check.has_info == 1)
        image_data.replace(kImageInfoOffset, kImageInfoEnd - kImageInfoOffset,
                           QByteArray(kImageInfoEnd - kImageInfoOffset, '\xFF'));
    clear_log();
    set_action_buttons_enabled(false);
    int result;
    if (diff)
        result = Update_FlashDiffSkipUnchanged(flash_image_len, kFlashBlockSize, link);
    else if (is_vq210_uart0(chip_id))
        result = Update_FlashAtSkipUnchanged(kVq210Uart0FlashBase, flash_image_len, kFlashBlockSize, link);
    else
        result = Update_FlashFullSkipUnchanged(flash_image_len, kFlashBlockSize, link, send_file_crc);
    log_line(QString());
    if (diff)
        log_line(result == 0 ? QStringLiteral("Diff Update flash is OK!!!!!!")
                             : QStringLiteral("Diff Update flash is fail....."));
    else
        log_line(result == 0 ? QString(texts::kUpdateFlashOk) : QString(texts::kUpdateFlashFail));
    set_action_buttons_enabled(true);
    image_data.clear();
    image_data.squeeze();
    return result;
}
