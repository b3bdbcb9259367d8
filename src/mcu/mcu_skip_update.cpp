// Whether the chip already holds the MCU image, asked before an update that
// leaves out what the chip holds: the chip's CRC of the whole image, asked
// quietly. When it matches nothing is erased or written; otherwise the MCU
// update goes on as it always does. A question that goes unanswered shows
// no box: the update that follows reports for itself.

#include "app/mainwindow.h"
#include "app/texts.h"
#include "mcu/mcu_frames.h"
#include "mcu/mcu_plan.h"
#include "protocol/catalogue.h"

namespace {
constexpr ReplyWait kMcuCrcProbeWait{kMcuCrcWaitPasses, kMcuCrcWaitSleepMs, 'N', false, false};
}  // namespace

bool MainWindow::mcu_image_held(int total, int blk, const McuRange& range)
{
    const int blocks = plan_mcu_blocks(total, blk, range.start).size();
    const bool held =
        exchange(build_mcu_crc_request(uint32_t(mcu_image_len), mcu_image_crc, run_address), kMcuCrcProbeWait) ==
            Reply::Ok &&
        judge_mcu_crc_reply(rx_buf, mcu_image_crc).result == mcu_crc_result::kOk;
    log_line(skip_survey_line(held ? 0 : blocks, blocks, held ? 0 : total));
    if (held) {
        update_bytes_.bytes_skipped = total;
        set_progress(kProgressDone);
    }
    return held;
}
