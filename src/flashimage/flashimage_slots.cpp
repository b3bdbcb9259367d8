// The flash image buttons: Input File (choose and check) and Update Flash.

#include "app/dialogs.h"
#include "app/mainwindow.h"
#include "app/texts.h"
#include "flashimage/image_rules.h"
#include "flashimage/update_plan.h"
#include "platform/file_read.h"
#include "protocol/catalogue.h"
#include "ui_mainwindow.h"

void MainWindow::take_flash_image_check(const FlashImageCheck& check)
{
    flash_image_len = check.len;
    flash_image_crc = check.crc;
    if (check.is_diff) {
        std::copy(check.diff_info.begin(), check.diff_info.end(), file_diff_info);
    } else {
        flash_image_has_info = check.has_info;
        flash_image_info_crc = check.info_crc;
    }
    if (check.ok)
        set_flash_label(check.label);
}

void MainWindow::on_pushButton_InputFlashCode_clicked()
{
    const int result = input_flash_image_operation();
    emit operation_ended(Operation::InputFlashImage, result);
}

void MainWindow::on_pushButton_UpdateFlash_clicked()
{
    const int result = update_flash_operation(UpdateMode::Full);
    emit operation_ended(Operation::UpdateFlash, result);
}

int MainWindow::input_flash_image_operation()
{
    const QString name = Dialogs::current().open_file_name(this, tr("Select Flash Code"), flash_image_path,
                                                           tr("file(*.bin *.diff)"));
    if (name.isEmpty())
        return operation_result::kCancelled;
    flash_image_path = name;
    ui->lineEdit_Flash->setText(name);
    const WholeFileRead file = read_whole_file(name, kMaxImageFileBytes);
    if (file.status != WholeFileStatus::Ok) {
        Dialogs::current().critical(this, tr("Error"), tr(texts::kReadFail));
        return operation_result::kReadFailed;
    }
    const FlashImageCheck check = check_flash_image(file.bytes, name);
    for (const QString& line : check.log_lines)
        log_line(line);
    take_flash_image_check(check);
    if (!check.ok) {
        show_error(check.error);
        return operation_result::kImageRejected;
    }
    return operation_result::kOk;
}

int MainWindow::update_flash_operation(UpdateMode mode)
{
    update_bytes_ = {};
    const QString name = ui->lineEdit_Flash->text();
    if (name.isEmpty()) {
        show_error(QStringLiteral("Please input flash code file"));
        return operation_result::kNoFileName;
    }
    const bool diff = is_diff_image_name(name);
    if (diff) {
        flash_image_path = name;
        ui->lineEdit_Flash->setText(name);
    }
    WholeFileRead file = read_whole_file(name, kMaxImageFileBytes);
    if (file.status != WholeFileStatus::Ok) {
        if (diff) {
            Dialogs::current().critical(this, tr("Error"), tr(texts::kReadFail));
        } else {
            show_error(texts::kReadFail);
            log_line(name);
        }
        return operation_result::kReadFailed;
    }
    const FlashImageCheck check = check_flash_image(file.bytes, name);
    // The header words were shown when the file was chosen; the integrity
    // lines are shown again.
    for (const QString& line : check.integrity_lines())
        log_line(line);
    take_flash_image_check(check);
    if (!check.ok) {
        show_error(check.error);
        return operation_result::kImageRejected;
    }
    image_data = std::move(file.bytes);
    if (!diff && check.has_info == 1) {
        // The info block states the CRC of the flash as programmed: it is
        // not itself written.
        image_data.replace(kImageInfoOffset, kImageInfoEnd - kImageInfoOffset,
                           QByteArray(kImageInfoEnd - kImageInfoOffset, '\xFF'));
    }
    const LinkSettings link = read_link_settings();
    const bool send_file_crc = ui->checkBox_FileCRC->isChecked();
    clear_log();
    set_action_buttons_enabled(false);
    const ChipModel& model = chip_model(chip_id);
    int result;
    if (diff)
        result = Update_FlashDiff(flash_image_len, kFlashBlockLen, link, mode);
    else if (model.app == AppStore::ExternalFlash)
        result = Update_FlashAt(model.flash_image_base, flash_image_len, kFlashBlockLen,
                                image_check_expected_crc(false, flash_image_has_info, flash_image_info_crc,
                                                         flash_image_crc),
                                link, mode);
    else
        result = Update_FlashFull(flash_image_len, kFlashBlockLen, link, send_file_crc, mode);
    log_line(QString());
    if (diff)
        log_line(result == 0 ? QStringLiteral("Diff Update flash is OK!!!!!!")
                             : QStringLiteral("Diff Update flash is fail....."));
    else
        log_line(result == 0 ? QString(texts::kUpdateFlashOk) : QString(texts::kUpdateFlashFail));
    set_action_buttons_enabled(true);
    image_data.clear();
    image_data.squeeze();
    return result;
}
