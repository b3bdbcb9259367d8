// The Flash Info and Check Flash CRC buttons.

#include <QSerialPort>

#include "app/mainwindow.h"
#include "app/texts.h"
#include "protocol/catalogue.h"
#include "ui_mainwindow.h"

namespace {
constexpr int kFlashInfoRetryPauseMs = 50;  // between Flash Info's two attempts
constexpr int kShortestImage = 16;  // anything shorter is no image worth checking
}  // namespace

void MainWindow::on_pushButton_FlashInfo_clicked()
{
    const int result = flash_info_operation();
    emit operation_ended(Operation::FlashInfo, result);
}

void MainWindow::on_pushButton_CheckFlash_clicked()
{
    const int result = check_flash_operation();
    emit operation_ended(Operation::CheckFlash, result);
}

int MainWindow::flash_info_operation()
{
    discard_input();
    ui->pushButton_FlashInfo->setEnabled(false);
    const int result = identify_flash(kFlashInfoRetryPauseMs);
    ui->pushButton_FlashInfo->setEnabled(true);
    return result;
}

int MainWindow::check_flash_operation()
{
    if (refuse_closed_port())
        return operation_result::kPortClosed;
    discard_input();
    if (identify_flash(0) != flash_id_result::kOk)
        return operation_result::kNoFlash;
    if (prepare_flash_mode(flash_mode_for_check(flash_size, chip_id), false) != prepare_flash_mode_result::kOk)
        return operation_result::kFlashModeFailed;
    if (flash_image_len > flash_size) {
        show_error(texts::kImageOverFlashSize);
        return operation_result::kImageTooLarge;
    }
    if (flash_image_len < kShortestImage) {
        show_error(QStringLiteral("Please input UI file!"));
        return operation_result::kNoImage;
    }
    const bool send_file_crc = ui->checkBox_FileCRC->isChecked();
    set_action_buttons_enabled(false);
    const ChipModel& model = chip_model(chip_id);
    int result;
    if (model.app == AppStore::ExternalFlash)
        result = Check_FlashRangeCRC(model.flash_image_base, flash_image_len,
                                     image_check_expected_crc(false, flash_image_has_info, flash_image_info_crc,
                                                              flash_image_crc));
    else
        result = Check_FlashImageCRC(send_file_crc);
    set_action_buttons_enabled(true);
    return result;
}
