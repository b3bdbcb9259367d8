// The internal flash commands: erase, MCU CRC and program block in its two
// framings. Touch the link only. Their waits run to the end whatever happens
// meanwhile but a stop: the update looks at the link's down flag between blocks.

#include "mcu/mcu_frames.h"
#include "mcu/mcu_plan.h"
#include "protocol/catalogue.h"
#include "protocol/frame.h"
#include "protocol/texts.h"
#include "session/flash_commands.h"
#include "session/flash_updates.h"
#include "session/mcu_procedures.h"
#include "session/operation.h"
#include "session/session_sink.h"

namespace {
constexpr ReplyWait kEraseWait{kEraseWaitPasses, kEraseWaitSleepMs, 'L', false, false};
constexpr ReplyWait kMcuCrcWait{kMcuCrcWaitPasses, kMcuCrcWaitSleepMs, 'N', false, false};
// A program frame is followed by event processing, then the boot loader's
// pause to store it; the single frame empties the port's buffers first.
constexpr ReplyWait kProgramSingleWait{kProgramSingleWaitPasses, kProgramSingleWaitSleepMs, 'J', true, false,
                                       kProgramPauseUs, true};
constexpr ReplyWait kProgramFramesWait{kProgramFramesWaitPasses, kProgramFramesWaitSleepMs, 'J', false, false,
                                       kProgramPauseUs, true};
constexpr ReplyChecks kMcuChecks{texts::kMcuWrongLetter};
// The single frame's wrong reply is shown as its bytes alone.
constexpr ReplyChecks kProgramSingleChecks{nullptr, true};
// The quiet question before an update that leaves out what the chip holds.
constexpr ReplyChecks kQuiet{nullptr, false, false};
}  // namespace

int McuProcedures::erase_mcu(uint32_t start_offset, uint32_t end_offset)
{
    switch (link_.checked_exchange(build_erase_request(start_offset, end_offset), kEraseWait, kMcuChecks)) {
    case Reply::Ok:
        return judge_erase_reply(link_.reply().bytes());
    case Reply::WrongLetter:
        return mcu_erase_result::kWrongLetter;
    default:
        return mcu_erase_result::kTimedOut;
    }
}

int McuProcedures::check_mcu_crc()
{
    const uint32_t len = uint32_t(images_.mcu_len);
    say::line(link_, mcu_crc_request_log(len, images_.mcu_crc));
    switch (link_.checked_exchange(build_mcu_crc_request(len, images_.mcu_crc, images_.run_address), kMcuCrcWait, kMcuChecks)) {
    case Reply::Ok:
        break;
    case Reply::WrongLetter:
        return mcu_crc_result::kWrongLetter;
    default:
        return mcu_crc_result::kTimedOut;
    }
    const McuCrcVerdict verdict = judge_mcu_crc_reply(link_.reply().bytes(), images_.mcu_crc);
    if (verdict.result != mcu_crc_result::kOk)
        say::line(link_, mcu_crc_mismatch_log(verdict.reported_crc));
    return verdict.result;
}

int McuProcedures::program_mcu_block(const QByteArray& data, uint32_t block_offset)
{
    const QByteArray frame = build_program_single(block_offset, data);
    // Longer than the boot loader's frame buffer: nothing is sent, and a
    // negative result is never retried.
    if (frame.isEmpty())
        return mcu_program_result::kTimedOut;
    switch (link_.checked_exchange(QVector<FrameOut>{FrameOut{frame, 1, true}}, kProgramSingleWait, kProgramSingleChecks)) {
    case Reply::Ok:
        return judge_program_single_reply(link_.reply().bytes());
    case Reply::WrongLetter:
        return mcu_program_result::kWrongLetter;
    default:
        return mcu_program_result::kTimedOut;
    }
}

int McuProcedures::program_mcu_frames(const QByteArray& data, uint32_t block_offset)
{
    const ProgramFrameSize size = chip_model(chip_.chip_id).packets;
    const QVector<QByteArray> built = build_program_frames(size, block_offset, data);
    if (built.isEmpty())
        return mcu_program_frames_result::kTimedOut;
    QVector<FrameOut> frames;
    for (const QByteArray& frame : built)
        frames.append(FrameOut{frame, 1, size == ProgramFrameSize::Wide512});
    // The last frame goes without waiting for it to leave, and without a
    // pause: its reply's wait covers both.
    frames.last().paced = false;
    frames.last().wait_written = false;
    switch (link_.checked_exchange(frames, kProgramFramesWait, kMcuChecks)) {
    case Reply::Ok:
        return judge_program_frames_reply(link_.reply().bytes());
    case Reply::WrongLetter:
        return mcu_program_frames_result::kWrongLetter;
    default:
        return mcu_program_frames_result::kTimedOut;
    }
}

// Asked before an update that leaves out what the chip holds: the chip's
// CRC of the whole image, quietly. When it matches nothing is erased or
// written; otherwise the MCU update goes on as it always does. A question
// that goes unanswered shows no box: the update that follows reports for
// itself.
bool McuProcedures::mcu_image_held(int total, int blk, const McuRange& range)
{
    const int blocks = plan_mcu_blocks(total, blk, range.start).size();
    const bool held =
        link_.checked_exchange(build_mcu_crc_request(uint32_t(images_.mcu_len), images_.mcu_crc, images_.run_address), kMcuCrcWait,
                         kQuiet) == Reply::Ok &&
        judge_mcu_crc_reply(link_.reply().bytes(), images_.mcu_crc).result == mcu_crc_result::kOk;
    say::line(link_, skip_survey_line(held ? 0 : blocks, blocks, held ? 0 : total));
    if (held) {
        bytes_.bytes_skipped = total;
        say::progress(link_, kProgressDone);
    }
    return held;
}
