// The MCU image buttons: Input File (choose), Update MCU and Check Mcu CRC.

#include <QSerialPort>

#include "app/dialogs.h"
#include "app/mainwindow.h"
#include "app/texts.h"
#include "mcu/mcu_plan.h"
#include "platform/file_read.h"
#include "protocol/catalogue.h"
#include "ui_mainwindow.h"

void MainWindow::on_pushButton_InputMCUCode_clicked()
{
    const int result = input_mcu_image_operation();
    emit operation_ended(Operation::InputMcuImage, result);
}

void MainWindow::on_pushButton_UpdateMCU_clicked()
{
    const int result = update_mcu_operation(UpdateMode::Full);
    emit operation_ended(Operation::UpdateMcu, result);
}

void MainWindow::on_pushButton_CheckMCU_clicked()
{
    const int result = check_mcu_operation();
    emit operation_ended(Operation::CheckMcu, result);
}

int MainWindow::input_mcu_image_operation()
{
    const QString name =
        Dialogs::current().open_file_name(this, tr("Select Mcu Code"), mcu_image_path, tr("file(*.bin)"));
    if (name.isEmpty())
        return operation_result::kCancelled;
    mcu_image_path = name;
    ui->lineEdit_MCU->setText(name);
    const WholeFileRead file = read_whole_file(name, kMaxImageFileBytes);
    if (file.status != WholeFileStatus::Ok) {
        Dialogs::current().critical(this, tr("Error"), tr(texts::kReadFail));
        return operation_result::kReadFailed;
    }
    // An image too short to hold the run-address word leaves run_address 0.
    const McuImage image = read_mcu_image(file.bytes);
    mcu_image_crc = image.crc;
    mcu_image_len = image.len;
    run_address = image.run_address;
    log_line(QStringLiteral("enter_Addr:") + hex32(run_address));
    set_mcu_label(mcu_image_label(image));
    return operation_result::kOk;
}

int MainWindow::update_mcu_operation(UpdateMode mode)
{
    update_bytes_ = {};
    const QString name = ui->lineEdit_MCU->text();
    if (name.isEmpty()) {
        show_error(QStringLiteral("Please input mcu code file"));
        return operation_result::kNoFileName;
    }
    // Read afresh: the file may have been rebuilt since it was chosen.
    WholeFileRead file = read_whole_file(name, kMaxImageFileBytes);
    if (file.status != WholeFileStatus::Ok) {
        show_error(texts::kReadFail);
        log_line(name);
        return operation_result::kReadFailed;
    }
    const McuImage image = read_mcu_image(file.bytes);
    mcu_image_crc = image.crc;
    mcu_image_len = image.len;
    set_mcu_label(mcu_image_label(image));
    image_data = std::move(file.bytes);

    const LinkSettings link = read_link_settings();
    set_action_buttons_enabled(false);
    int result;
    if (chip_model(chip_id).app == AppStore::ExternalFlash) {
        result = Update_FlashAt(kExternalAppAddress, mcu_image_len, kMcuBlockLen, mcu_image_crc, link, mode);
        log_line(QString());
        log_line(result == 0 ? QString(texts::kUpdateFlashOk) : QString(texts::kUpdateFlashFail));
    } else {
        result = update_mcu(mcu_image_len, kMcuBlockLen, chip_id, link, mode);
        log_line(QString());
        log_line(result == mcu_update_result::kOk ? QStringLiteral("Update MCU is OK!!!!!!")
                                           : QStringLiteral("Update MCU is fail....."));
    }
    set_action_buttons_enabled(true);
    image_data.clear();
    image_data.squeeze();
    return result;
}

int MainWindow::check_mcu_operation()
{
    if (refuse_closed_port())
        return operation_result::kPortClosed;
    set_action_buttons_enabled(false);
    discard_input();
    if (mcu_image_len < kMcuCheckMinImageLen) {
        set_action_buttons_enabled(true);
        show_error(QStringLiteral("Please input the mcu code"));
        return operation_result::kNoImage;
    }
    const int result = chip_model(chip_id).app == AppStore::ExternalFlash
                           ? Check_FlashRangeCRC(kExternalAppAddress, mcu_image_len, mcu_image_crc)
                           : check_mcu_crc();
    log_line(result == 0 ? QStringLiteral("Check MCU CRC is OK...") : QStringLiteral("Check MCU CRC is NG..."));
    set_action_buttons_enabled(true);
    return result;
}
