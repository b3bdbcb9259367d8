// The MCU update that leaves a chip alone when it already holds the image,
// members of MainWindow beside the MCU update: the chip's CRC of the whole
// image is asked first, quietly; when it matches nothing is erased or
// written, otherwise the MCU update goes on as it always does. A question that
// goes unanswered shows no box: the update that follows reports for itself.


#include "app/mainwindow.h"
#include "app/texts.h"
#include "mcu/mcu_frames.h"
#include "mcu/mcu_plan.h"
#include "protocol/catalogue.h"

namespace {
constexpr ReplyWait kMcuCrcProbeWait{kMcuCrcWaitPasses, kMcuCrcWaitSleepMs, 'N', false, false};
}  // namespace

int MainWindow::update_mcu_skip_unchanged(int total, int blk, uint32_t chip, const LinkSettings& link)
{
    // The MCU update's own refusals and connects come first: a chip is
    // asked only what the update would have asked it.
    McuRange range;
    const int result = mcu_update_prologue(chip, link, &range);
    if (result != mcu_update_result::kOk)
        return result;
    const int blocks = plan_mcu_blocks(total, blk, range.start).size();
    const bool held =
        exchange(build_mcu_crc_request(uint32_t(mcu_image_len), mcu_image_crc, run_address), kMcuCrcProbeWait) ==
            Reply::Ok &&
        judge_mcu_crc_reply(rx_buf, mcu_image_crc).result == mcu_crc_result::kOk;
    log_line(skip_survey_line(held ? 0 : blocks, blocks, held ? 0 : total));
    if (held) {
        update_bytes_.bytes_skipped = total;
        set_progress(kProgressDone);
        return link_down == 1 ? mcu_update_result::kBlockFailed : mcu_update_result::kOk;
    }
    return program_mcu_image(total, blk, range);
}
