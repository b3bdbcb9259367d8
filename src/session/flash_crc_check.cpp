// The three flash CRC checks and Check Flash CRC. They differ in what
// they log, which CRC they accept and how they take the boot loader's
// status '2'; operators' scripts read these lines, so each keeps its own
// (judge_flash_crc_reply has the differences).


#include "protocol/catalogue.h"
#include "protocol/texts.h"
#include "session/flash_commands.h"
#include "session/operation.h"
#include "session/session_parts.h"
#include "session/session_sink.h"

namespace {
constexpr int kShortestImage = 16;  // anything shorter is no image worth checking
}  // namespace

int FlashCommands::Check_FlashBlockCRC(uint32_t addr, int len, uint32_t crc)
{
    if (refuse_closed_port(link_))
        return flash_crc_result::kWrongReply;
    say::line(link_, flash_text::block_request_line(crc, len));
    return run_flash_crc({FlashCrcCheck::Block, addr, uint32_t(len), crc, 0, 0, 0});
}

int FlashCommands::Check_FlashRangeCRC(uint32_t addr, int len, uint32_t crc)
{
    if (refuse_closed_port(link_))
        return flash_crc_result::kWrongReply;
    say::progress(link_, 0);
    say::timestamp(link_);
    say::line(link_, flash_text::kRangeStart);
    say::line(link_, flash_text::range_size_line(len));
    say::line(link_, flash_text::crc_value_line(crc));
    return run_flash_crc({FlashCrcCheck::Range, addr, uint32_t(len), crc, 0, 0, 0});
}

int FlashCommands::Check_FlashImageCRC(bool send_file_crc)
{
    if (refuse_closed_port(link_))
        return flash_crc_result::kWrongReply;
    const uint32_t expected =
        image_check_expected_crc(send_file_crc, images_.flash_has_info, images_.flash_info_crc, images_.flash_crc);
    say::progress(link_, 0);
    say::timestamp(link_);
    say::line(link_, flash_text::image_start_line(images_.flash_has_info));
    say::line(link_, flash_text::image_size_line(images_.flash_len));
    say::line(link_, flash_text::crc_value_line(expected));
    return run_flash_crc({FlashCrcCheck::Image, 0, uint32_t(images_.flash_len), expected, images_.flash_info_crc,
                          images_.flash_crc, images_.flash_has_info});
}

int FlashCommands::check_flash(bool send_file_crc)
{
    if (refuse_closed_port(link_))
        return operation_result::kPortClosed;
    link_.discard_input();
    if (identify_flash(0) != flash_id_result::kOk)
        return operation_result::kNoFlash;
    if (prepare_flash_mode(flash_mode_for_check(chip_.flash_size, chip_.chip_id), false) != prepare_flash_mode_result::kOk)
        return operation_result::kFlashModeFailed;
    if (images_.flash_len > chip_.flash_size) {
        say::error(link_, texts::kImageOverFlashSize);
        return operation_result::kImageTooLarge;
    }
    if (images_.flash_len < kShortestImage) {
        say::error(link_, QStringLiteral("Please input UI file!"));
        return operation_result::kNoImage;
    }
    link_.sink().actions_enabled(false);
    int result;
    if (chip_.app_in_external_flash())
        result = Check_FlashRangeCRC(chip_model(chip_.chip_id).flash_image_base, images_.flash_len,
                                     image_check_expected_crc(false, images_.flash_has_info, images_.flash_info_crc,
                                                              images_.flash_crc));
    else
        result = Check_FlashImageCRC(send_file_crc);
    link_.sink().actions_enabled(true);
    return result;
}
