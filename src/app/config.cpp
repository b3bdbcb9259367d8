// Reading and writing config.ini, members of MainWindow.

#include <QDir>
#include <QFile>
#include <QTextStream>

#include "app/mainwindow.h"
#include "app/settings.h"
#include "ui_mainwindow.h"

namespace {
QString config_path()
{
    return QDir::currentPath() + QStringLiteral("/config.ini");
}
}  // namespace

void MainWindow::read_config()
{
    flash_size = 0;
    flash_name.clear();

    QFile file(config_path());
    if (!file.open(QIODevice::ReadOnly)) {
        log_line(QStringLiteral("Open config.ini fail"));
        return;
    }
    QTextStream in(&file);
    for (int line_no = 1; line_no <= 6 && !in.atEnd(); ++line_no) {
        const QString line = in.readLine();
        switch (line_no) {
        case 1:
            ui->checkBox_BaudRate->setChecked(return_115200_from_line(line));
            break;
        case 3:
            mcu_image_path = line.trimmed();
            ui->lineEdit_MCU->setText(line);
            break;
        case 4:
            flash_image_path = line.trimmed();
            ui->lineEdit_Flash->setText(line);
            break;
        case 5:
            bl_set = bl_set_from_line(line);
            break;
        case 6:
            // Only selects the entry; wait_ms follows when the operator opens a port.
            ui->comboBox_WaitTime->setCurrentIndex(wait_index_from_line(line));
            break;
        default:
            break;
        }
    }
}

void MainWindow::write_config()
{
    const QString path = config_path();
    log_line(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        show_error(QStringLiteral("打开文件失败"));
        return;
    }
    QTextStream out(&file);
    out << compose_config(ui->checkBox_BaudRate->isChecked(), mcu_image_path, flash_image_path, bl_set,
                          ui->comboBox_WaitTime->currentIndex());
}
