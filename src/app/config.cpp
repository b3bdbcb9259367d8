// Reading and writing config.ini and the per-user settings, members of MainWindow.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QTextStream>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/mainwindow.h"
#include "protocol/config_lines.h"
#include "ui_mainwindow.h"

namespace {
QString config_path()
{
    return QDir::currentPath() + QStringLiteral("/config.ini");
}

const QString kSkipUnchangedKey = QStringLiteral("write_only_changed_blocks");

// What the operator chooses once and keeps whatever folder the window works
// in: config.ini has six fixed lines that other tools read, so nothing new
// goes there. Empty when there is no folder for it, or when something other
// than a regular file holds its place (a FIFO would block the read).
QString user_settings_path()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (folder.isEmpty())
        return {};
    const QString path = folder + QStringLiteral("/vq-uart-tool/vqgui.conf");
    const QFileInfo info(path);
    return info.exists() && !info.isFile() ? QString() : path;
}

// config.ini is taken only when it is a regular file (links followed): a
// FIFO in its place would block the open, at start-up or at exit, and a
// device such as /dev/zero would be read for ever or swallow the settings.
bool open_regular_file(QFile& file, QIODevice::OpenMode mode)
{
#ifdef Q_OS_WIN
    const QFileInfo info(file.fileName());
    if (info.exists() && !info.isFile())
        return false;
    return file.open(mode);
#else
    const bool writing = mode & QIODevice::WriteOnly;
    const int flags = (writing ? O_WRONLY | O_CREAT : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const int fd = ::open(QFile::encodeName(file.fileName()).constData(), flags, 0666);
    if (fd < 0)
        return false;
    struct stat st {};
    // Truncated only once it is known to be a regular file.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (writing && ::ftruncate(fd, 0) != 0)) {
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, writing ? QIODevice::WriteOnly : QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#endif
}
}  // namespace

void MainWindow::read_config()
{
    QFile file(config_path());
    if (!open_regular_file(file, QIODevice::ReadOnly)) {
        // A file that is there but cannot be read still holds the operator's
        // settings: the defaults must not replace it at exit.
        config_kept = QFileInfo(file.fileName()).isFile();
        log_line(QStringLiteral("Open config.ini fail"));
        return;
    }
    QString line;
    for (int line_no = 1; line_no <= 6; ++line_no) {
        const ConfigLine read = read_config_line(file, &line);
        if (read == ConfigLine::End)
            break;
        if (read == ConfigLine::TooLong)
            continue;
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
    if (config_kept) {
        log_line(QStringLiteral("config.ini could not be read at start-up: kept as it was"));
        return;
    }
    QFile file(path);
    if (!open_regular_file(file, QIODevice::WriteOnly | QIODevice::Truncate)) {
        show_error(QStringLiteral("打开文件失败"));
        return;
    }
    QTextStream out(&file);
    out << compose_config(ui->checkBox_BaudRate->isChecked(), mcu_image_path, flash_image_path, bl_set,
                          ui->comboBox_WaitTime->currentIndex());
}

void MainWindow::read_user_settings()
{
    const QString path = user_settings_path();
    if (path.isEmpty())
        return;
    const QSettings settings(path, QSettings::IniFormat);
    // Restoring the box is not a choice of the operator's to write back.
    const QSignalBlocker quiet(ui->checkBox_SkipUnchanged);
    ui->checkBox_SkipUnchanged->setChecked(settings.value(kSkipUnchangedKey, false).toBool());
}

void MainWindow::on_checkBox_SkipUnchanged_toggled(bool checked)
{
    const QString path = user_settings_path();
    if (path.isEmpty())
        return;
    QSettings(path, QSettings::IniFormat).setValue(kSkipUnchangedKey, checked);
}
