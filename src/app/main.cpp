#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>
#include <cstdio>
#include <cstring>

#include "app/mainwindow.h"
#include "app/user_folder.h"
#include "serial/remote_ports.h"
#include "vq_version.h"

namespace {

constexpr char kUserFolderOption[] = "--user-folder";
constexpr char kFolderName[] = "vq-uart-tool";
constexpr char kRemotePortOption[] = "--remote-port";

// The manual page is made from this text.
constexpr char kHelp[] =
    "Usage: vqgui [--user-folder] [--remote-port URL]...\n"
    "Programs VQ chips through their boot loader over a UART, from one window.\n"
    "\n"
    "The window reads and writes its settings (config.ini) and the external flash\n"
    "catalogue (Flash.ini) in the folder it is started in.\n"
    "\n"
    "Options:\n"
    "  --user-folder  work in the per-user folder $XDG_DATA_HOME/vq-uart-tool\n"
    "                 (~/.local/share/vq-uart-tool unless XDG_DATA_HOME names an\n"
    "                 absolute folder),\n"
    "                 created on first start with the sample Flash.ini; the menu\n"
    "                 entry starts the window this way\n"
    "  --remote-port URL\n"
    "                 list a port served over the network, rfc2217://HOST:PORT\n"
    "                 or socket://HOST:PORT (or rfc2217+tls://, socket+tls://\n"
    "                 over TLS), after the local ports from now on\n"
    "                 (kept in the per-user settings, not in config.ini); with no\n"
    "                 USB device plugged in, it is selected and Open is offered\n"
    "  -h, --help     display this help and exit\n"
    "  -v, --version  display version information and exit\n";

bool has_argument(int argc, char* argv[], const char* name, const char* other_name = nullptr)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0 || (other_name && std::strcmp(argv[i], other_name) == 0))
            return true;
    }
    return false;
}

// The sample catalogue the package installs, found from where this program
// lies so that any install prefix works, else through the data folders.
QString sample_flash_ini()
{
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/" VQ_SAMPLE_DIR_FROM_BIN "/Flash.ini");
    if (QFileInfo(beside).isFile())
        return beside;
    return QStandardPaths::locate(QStandardPaths::GenericDataLocation, QString::fromLatin1(kFolderName) + "/Flash.ini");
}

}  // namespace

int main(int argc, char* argv[])
{
    // Answered before any display is needed, so that the manual page can be
    // made on a build machine without one.
    if (has_argument(argc, argv, "--help", "-h")) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (has_argument(argc, argv, "--version", "-v")) {
        std::printf("vqgui %s\n", VQ_VERSION);
        return 0;
    }
    // Kept before the window lists its ports, so that it lists them at once.
    QString offered;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], kRemotePortOption) != 0)
            continue;
        if (i + 1 < argc)
            offered = QString::fromLocal8Bit(argv[++i]);
        const QString problem = offered.isEmpty() ? QStringLiteral("--remote-port needs a URL") : keep_remote_port(offered);
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "vqgui: %s\n", qPrintable(problem));
            return 2;
        }
    }
    QApplication app(argc, argv);
    // A window started from the menu has no folder of the user's choosing,
    // and its settings must outlive the run: it works in a folder of the user's own.
    if (has_argument(argc, argv, kUserFolderOption)) {
        const UserFolderEntry entry =
            enter_user_folder(user_folder_path(qgetenv("XDG_DATA_HOME"), QDir::homePath()), sample_flash_ini());
        if (!entry.ok) {
            std::fprintf(stderr, "vqgui: %s\n", qPrintable(entry.error));
            QMessageBox::critical(nullptr, QStringLiteral("vqgui"), entry.error);
            return 1;
        }
        if (!entry.warning.isEmpty()) {
            std::fprintf(stderr, "vqgui: %s\n", qPrintable(entry.warning));
            QMessageBox::warning(nullptr, QStringLiteral("vqgui"), entry.warning);
        }
    }
    MainWindow window;
    window.offer_remote_port(offered);
    window.show();
    return app.exec();
}
