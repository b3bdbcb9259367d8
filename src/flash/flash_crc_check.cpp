// The three flash CRC checks, members of MainWindow. They differ in what
// they log, which CRC they accept and how they take the boot loader's
// status '2'; operators' scripts read these lines, so each keeps its own
// (judge_flash_crc_reply has the differences).

#include <QSerialPort>

#include "app/mainwindow.h"
#include "app/texts.h"

bool MainWindow::refuse_closed_port()
{
    if (serial->isOpen())
        return false;
    show_error(texts::kPleaseOpenPort);
    return true;
}

int MainWindow::Check_FlashBlockCRC(uint32_t addr, int len, uint32_t crc)
{
    if (refuse_closed_port())
        return flash_crc_result::kWrongReply;
    log_line(flash_text::block_request_line(crc, len));
    return run_flash_crc({FlashCrcCheck::Block, addr, uint32_t(len), crc, 0, 0, 0});
}

int MainWindow::Check_FlashRangeCRC(uint32_t addr, int len, uint32_t crc)
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

int MainWindow::Check_FlashImageCRC(bool send_file_crc)
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
