// The MCU update that leaves a chip alone when it already holds the image,
// members of MainWindow beside the MCU update: the chip's CRC of the whole
// image is asked first, quietly; when it matches nothing is erased or
// written, otherwise the MCU update runs as it always does. A question that
// goes unanswered shows no box: the update that follows reports for itself.

#include <QSerialPort>

#include "app/dialogs.h"
#include "app/mainwindow.h"
#include "app/texts.h"
#include "mcu/mcu_frames.h"
#include "mcu/mcu_plan.h"
#include "platform/file_read.h"
#include "protocol/catalogue.h"

namespace {
constexpr ReplyWait kMcuCrcProbeWait{kMcuCrcWaitPasses, kMcuCrcWaitSleepMs, 'N', false, false};
}  // namespace

int MainWindow::update_mcu_skip_unchanged(int total, int blk, uint32_t chip, const LinkSettings& link)
{
    skip_report = {};
    // The MCU update's own refusals and connects come first: a chip is
    // asked only what the update would have asked it.
    if (refuse_closed_port())
        return mcu_update_result::kRefused;
    if (mcu_image_len < kMcuMinImageLen) {
        show_error(QStringLiteral("There aren't any datas to update!"));
        return mcu_update_result::kRefused;
    }
    clear_log();
    discard_input();
    run_address = 0;
    McuRange range;
    if (plan_mcu_update(chip, &range) != mcu_update_result::kOk)
        return mcu_update_result::kRefused;
    if (connect_device(kIdentifyMode, chip, link) != connect_result::kOk ||
        connect_device(kMcuTargetMode, chip, link) != connect_result::kOk) {
        show_error(QStringLiteral("Fail to Connect a mcu device"));
        return mcu_update_result::kRefused;
    }
    const int blocks = plan_mcu_blocks(total, blk, range.start).size();
    const bool held =
        exchange(build_mcu_crc_request(uint32_t(mcu_image_len), mcu_image_crc, run_address), kMcuCrcProbeWait) ==
            Reply::Ok &&
        judge_mcu_crc_reply(rx_buf, mcu_image_crc).result == mcu_crc_result::kOk;
    log_line(skip_survey_line(held ? 0 : blocks, blocks, held ? 0 : total));
    if (held) {
        skip_report.bytes_skipped = total;
        set_progress(100);
        return link_down == 1 ? mcu_update_result::kBlockFailed : mcu_update_result::kOk;
    }
    const int result = update_mcu(total, blk, chip, link);
    if (result == mcu_update_result::kOk)
        skip_report.bytes_written = total;
    return result;
}
