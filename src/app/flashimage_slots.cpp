// The flash image buttons: Input File (choose and check) and Update Flash.

#include "app/dialogs.h"
#include "app/mainwindow.h"
#include "flashimage/image_rules.h"
#include "ui_mainwindow.h"

void MainWindow::on_pushButton_InputFlashCode_clicked()
{
    const int result = input_flash_image_operation();
    emit operation_ended(Operation::InputFlashImage, result);
}

void MainWindow::on_pushButton_UpdateFlash_clicked()
{
    const QString name = ui->lineEdit_Flash->text();
    // A .diff named by hand is where the next file dialog starts.
    if (!name.isEmpty() && is_diff_image_name(name))
        flash_image_path = name;
    const UpdateReport report = session_.update_flash(name, read_update_options());
    emit operation_ended(Operation::UpdateFlash, report.code);
}

int MainWindow::input_flash_image_operation()
{
    const QString name = Dialogs::current().open_file_name(this, tr("Select Flash Code"), flash_image_path,
                                                           tr("file(*.bin *.diff)"));
    if (name.isEmpty())
        return operation_result::kCancelled;
    flash_image_path = name;
    ui->lineEdit_Flash->setText(name);
    return session_.load_flash_image(name);
}
