#include "app/user_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr char kFolderName[] = "vq-uart-tool";

const QString kWhatToDo = QStringLiteral(
    "Set XDG_DATA_HOME to a folder you may write in, or start vqgui without --user-folder in a folder of your own.");

// Creates folder and the folders above it that are missing; the reason
// when one cannot be made.
QString make_folders(const QString& folder)
{
    const QString clean = QDir::cleanPath(folder);
    for (int at = clean.indexOf(QLatin1Char('/'), 1);; at = clean.indexOf(QLatin1Char('/'), at + 1)) {
        const QString path = at < 0 ? clean : clean.left(at);
        const QFileInfo info(path);
        if (info.exists() && !info.isDir())
            return QStringLiteral("%1 is a file, not a folder").arg(path);
#ifdef Q_OS_UNIX
        if (!info.exists() && ::mkdir(QFile::encodeName(path).constData(), 0777) != 0 && errno != EEXIST)
            return QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
#else
        if (!info.exists() && !QDir().mkdir(path))
            return QStringLiteral("%1 cannot be made").arg(path);
#endif
        if (at < 0)
            break;
    }
    return QString();
}

}  // namespace

QString user_folder_path(const QByteArray& xdg_data_home, const QString& home)
{
    const QString data = QFile::decodeName(xdg_data_home);
    const QString base = QDir::isAbsolutePath(data) ? data : home + QStringLiteral("/.local/share");
    return QDir::cleanPath(base + QLatin1Char('/') + kFolderName);
}

UserFolderEntry enter_user_folder(const QString& folder, const QString& sample_flash_ini)
{
    UserFolderEntry entry;
    const QString why = make_folders(folder);
    if (!why.isEmpty()) {
        entry.error = QStringLiteral("Cannot create the folder %1 (%2). ").arg(folder, why) + kWhatToDo;
        return entry;
    }
    if (!QDir::setCurrent(folder)) {
        entry.error = QStringLiteral("Cannot enter the folder %1. ").arg(folder) + kWhatToDo;
        return entry;
    }
    entry.ok = true;
#ifdef Q_OS_UNIX
    // The rights this process writes with, not those of the user who started it.
    if (::faccessat(AT_FDCWD, ".", W_OK, AT_EACCESS) != 0)
        entry.warning = QStringLiteral("The folder %1 is read-only: the settings (config.ini) will not be kept. Make it "
                                       "writable (chmod u+w %1), or ")
                            .arg(folder) +
                        kWhatToDo.left(1).toLower() + kWhatToDo.mid(1);
#endif
    if (!QFileInfo::exists(QStringLiteral("Flash.ini")) && !sample_flash_ini.isEmpty() &&
        QFile::copy(sample_flash_ini, QStringLiteral("Flash.ini")))
        QFile::setPermissions(QStringLiteral("Flash.ini"),
                              QFile::permissions(QStringLiteral("Flash.ini")) | QFile::WriteOwner);
    return entry;
}
