// The three flash CRC checks, members of BootSession, and Check Flash CRC. They differ in what
// they log, which CRC they accept and how they take the boot loader's
// status '2'; operators' scripts read these lines, so each keeps its own
// (judge_flash_crc_reply has the differences).


#include "protocol/catalogue.h"
#include "protocol/texts.h"
#include "session/boot_session.h"

namespace {
constexpr int kShortestImage = 16;  // anything shorter is no image worth checking
}  // namespace

int BootSession::Check_FlashBlockCRC(uint32_t addr, int len, uint32_t crc)
{
    if (refuse_closed_port())
        return flash_crc_result::kWrongReply;
    log_line(flash_text::block_request_line(crc, len));
    return run_flash_crc({FlashCrcCheck::Block, addr, uint32_t(len), crc, 0, 0, 0});
}

int BootSession::Check_FlashRangeCRC(uint32_t addr, int len, uint32_t crc)
{
    if (refuse_closed_port())
        return flash_crc_result::kWrongReply;
    set_progress(0);
    log_timestamp();
    log_line(flash_text::kRangeStart);
    log_line(flash_text::range_size_line(len));
    log_line(flash_text::crc_value_line(crc));
    return run_flash_crc({FlashCrcCheck::Range, addr, uint32_t(len), crc, 0, 0, 0});
}

int BootSession::Check_FlashImageCRC(bool send_file_crc)
{
    if (refuse_closed_port())
        return flash_crc_result::kWrongReply;
    const uint32_t expected =
        image_check_expected_crc(send_file_crc, flash_image_has_info, flash_image_info_crc, flash_image_crc);
    set_progress(0);
    log_timestamp();
    log_line(flash_text::image_start_line(flash_image_has_info));
    log_line(flash_text::image_size_line(flash_image_len));
    log_line(flash_text::crc_value_line(expected));
    return run_flash_crc({FlashCrcCheck::Image, 0, uint32_t(flash_image_len), expected, flash_image_info_crc,
                          flash_image_crc, flash_image_has_info});
}

int BootSession::check_flash(bool send_file_crc)
{
    if (refuse_closed_port())
        return operation_result::kPortClosed;
    link_.discard_input();
    if (identify_flash(0) != flash_id_result::kOk)
        return operation_result::kNoFlash;
    if (prepare_flash_mode(flash_mode_for_check(flash_size, chip_id_), false) != prepare_flash_mode_result::kOk)
        return operation_result::kFlashModeFailed;
    if (flash_image_len > flash_size) {
        show_error(texts::kImageOverFlashSize);
        return operation_result::kImageTooLarge;
    }
    if (flash_image_len < kShortestImage) {
        show_error(QStringLiteral("Please input UI file!"));
        return operation_result::kNoImage;
    }
    sink_->actions_enabled(false);
    int result;
    if (app_in_external_flash())
        result = Check_FlashRangeCRC(chip_model(chip_id_).flash_image_base, flash_image_len,
                                     image_check_expected_crc(false, flash_image_has_info, flash_image_info_crc,
                                                              flash_image_crc));
    else
        result = Check_FlashImageCRC(send_file_crc);
    sink_->actions_enabled(true);
    return result;
}
