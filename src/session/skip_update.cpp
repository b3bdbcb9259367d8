// What the flash updates write when they leave out what the flash already
// holds: a survey of the device's CRCs before the blocks are written
// (flashimage/skip_plan.h explains it); the prologue, block writers,
// attempts rule and final check stay the full update's.
//
// A survey question that fails is never put in front of the operator: it
// shows no box, the region counts as changed and is written, and the
// writers and the final check report what they always report. A question
// that times out ends the survey (the device may still be computing, or be
// gone), so a silent device costs one question's wait, not one per region.

#include "flashimage/image_rules.h"
#include "protocol/hex_text.h"
#include "protocol/texts.h"
#include "session/flash_commands.h"
#include "session/flash_updates.h"
#include "session/operation.h"
#include "session/session_sink.h"

SurveyAnswer FlashUpdates::ask_flash_crc(uint32_t address, uint32_t len)
{
    const int result = flash_.run_flash_crc({FlashCrcCheck::Survey, address, len, 0, 0, 0, 0});
    if (result == flash_crc_result::kOk)
        return {SurveyReply::Crc, parse_flash_crc_reply(link_.reply().bytes()).value};
    if (result == flash_crc_result::kWrongReply || result == flash_crc_result::kStatus2) {
        say::line(link_, QStringLiteral("The CRC of ") + hex32_text(address) + QLatin1Char(',') + QString::number(len) +
                 QStringLiteral(" could not be read: written"));
        return {SurveyReply::Unreadable, 0};
    }
    if (!link_.aborted())
        say::line(link_, QStringLiteral("No CRC from the device: the rest of the image is written"));
    return {SurveyReply::StopAsking, 0};
}

int FlashUpdates::write_image_blocks(uint32_t base, int len, int blk, TailStyle style, bool packets,
                                    const UpdateOptions& options)
{
    const QVector<BlockWrite> all = plan_flash_image(len, blk, base, style);
    if (!options.skip_unchanged)
        return write_flash_blocks(images_.data, all, packets, options.max_timed_out_blocks);
    const SkipPlan survey = survey_flash_image(image_as_left_in_flash(images_.data, len, blk, style), blk,
                                               [&](const SurveyRegion& r) {
                                                   return ask_flash_crc(base + r.offset, r.len);
                                               });
    if (link_.aborted())
        return flash_update_result::kStopped;
    // The survey's blocks are the plan's, one for one.
    const QVector<BlockWrite> changed = writes_left_in(all, survey.write);
    qint64 bytes = 0;
    for (const BlockWrite& w : changed)
        bytes += w.data_len;
    say::line(link_, skip_survey_line(changed.size(), all.size(), bytes));
    bytes_.bytes_skipped = len - bytes;
    for (const BlockWrite& w : changed) {
        const int result = write_flash_blocks(images_.data, {w}, packets, options.max_timed_out_blocks);
        if (result != flash_update_result::kOk)
            return result;
    }
    return flash_update_result::kOk;
}

QVector<DiffRecord> FlashUpdates::diff_records_to_write(const QVector<DiffRecord>& records, int blk)
{
    // A record is left out when its range already holds the CRC the record
    // says it has once written: an interrupted run finishes what it had not.
    QVector<DiffRecord> changed;
    int blocks = 0;
    int changed_blocks = 0;
    qint64 bytes = 0;
    const QVector<bool> write = survey_diff_records(records, [&](const SurveyRegion& r) {
        const SurveyAnswer a = ask_flash_crc(r.offset, r.len);
        return link_.aborted() ? SurveyAnswer{SurveyReply::StopAsking, 0} : a;
    });
    if (link_.aborted())
        return {};
    const QVector<bool> never_skipped = diff_records_never_skipped(records, blk);
    for (int i = 0; i < records.size(); ++i) {
        const DiffRecord& r = records.at(i);
        const int record_blocks = plan_diff_record(r, blk).size();
        blocks += record_blocks;
        if (!write.at(i) && !never_skipped.at(i)) {
            bytes_.bytes_skipped += r.length;
            continue;
        }
        changed.append(r);
        changed_blocks += record_blocks;
        bytes += r.length;
    }
    say::line(link_, skip_survey_line(changed_blocks, blocks, bytes));
    // The progress bar counts the bytes of the records written.
    qint64 done = 0;
    for (DiffRecord& r : changed) {
        done += r.length;
        r.progress = int(kProgressDone * done / bytes);
    }
    return changed;
}
