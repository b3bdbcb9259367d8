// The Debian package as a newcomer meets it: built with the README's one
// command, its files and control fields, then installed on this machine
// (as root), its programs, manual page, menu entry, AppStream data and
// completion used from where they were installed, lintian's verdict, and
// the package removed again.

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

#include "vq_version.h"

namespace {

constexpr int kRunLimitMs = 600000;  // building, installing and lintian on a busy machine
const char kPackage[] = "vq-uart-tool";
const char kDesktop[] = "/usr/share/applications/org.example.vq_uart_tool.desktop";
const char kMetainfo[] = "/usr/share/metainfo/org.example.vq_uart_tool.metainfo.xml";
const char kStationDesktop[] = "/usr/share/applications/org.example.vq_uart_tool.station.desktop";
const char kStationMetainfo[] = "/usr/share/metainfo/org.example.vq_uart_tool.station.metainfo.xml";
const char kSample[] = "/usr/share/vq-uart-tool/Flash.ini";

struct Run {
    int code = -1;
    QString out;
};

Run run(const QString& program, const QStringList& args, const QProcessEnvironment& env = {},
        const QString& folder = QString())
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (!env.isEmpty())
        p.setProcessEnvironment(env);
    p.setWorkingDirectory(folder);
    p.start(program, args);
    Run r;
    if (!p.waitForStarted() || !p.waitForFinished(kRunLimitMs)) {
        p.kill();
        p.waitForFinished();
        r.out = program + ": did not start or did not end";
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAll());
    return r;
}

QByteArray file_bytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class PackageTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void files_and_control_fields();
    void lintian_finds_no_error();
    void installed_programs_and_manual();
    void installed_window_makes_its_user_folder();
    void installed_menu_entry_and_metainfo_validate();
    void installed_completion_data();
    void installed_completion();
    void cleanupTestCase();

private:
    void need_installed();

    QString deb_;
    std::unique_ptr<QLockFile> machine_lock_;
    bool installed_ = false;
    QString skip_install_;
};

void PackageTest::initTestCase()
{
    const Run built = run(VQ_CMAKE, {"--build", VQ_BUILD_DIR, "--target", "package"});
    QVERIFY2(built.code == 0, qPrintable(built.out));
    const QString arch = run("dpkg", {"--print-architecture"}).out.trimmed();
    deb_ = QStringLiteral(VQ_BUILD_DIR "/%1_%2_%3.deb").arg(kPackage, VQ_VERSION, arch);
    QVERIFY2(QFileInfo(deb_).isFile(), qPrintable(deb_));

    if (::geteuid() != 0) {
        skip_install_ = "installing needs root";
        return;
    }
    // Installing is machine-wide: one run of this test installs at a time.
    machine_lock_ = std::make_unique<QLockFile>(QDir::temp().filePath("vq-uart-tool-package-test.lock"));
    QVERIFY(machine_lock_->tryLock(kRunLimitMs));
    if (run("dpkg-query", {"-W", "-f=${Status}", kPackage}).out.contains("install ok installed")) {
        skip_install_ = "the package is installed on this machine already; a test neither replaces nor removes it";
        return;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DEBIAN_FRONTEND", "noninteractive");
    const Run install = run("apt-get", {"install", "-y", "-o", "DPkg::Lock::Timeout=300", deb_}, env);
    QVERIFY2(install.code == 0, qPrintable(install.out));
    installed_ = true;
}

void PackageTest::need_installed()
{
    if (!installed_)
        QSKIP(qPrintable(skip_install_));
}

void PackageTest::files_and_control_fields()
{
    QStringList files;
    for (const QString& line : run("dpkg-deb", {"-c", deb_}).out.split('\n')) {
        if (line.startsWith('-'))
            files << line.section(' ', -1).mid(1);
    }
    files.sort();
    QCOMPARE(files, QStringList({"/usr/bin/vqgui",
                                 "/usr/bin/vqimage",
                                 "/usr/bin/vqprog",
                                 "/usr/bin/vqsim",
                                 "/usr/bin/vqstation",
                                 kDesktop,
                                 kStationDesktop,
                                 "/usr/share/bash-completion/completions/vqprog",
                                 "/usr/share/doc/vq-uart-tool/changelog.gz",
                                 "/usr/share/doc/vq-uart-tool/copyright",
                                 "/usr/share/icons/hicolor/scalable/apps/org.example.vq_uart_tool.station.svg",
                                 "/usr/share/icons/hicolor/scalable/apps/org.example.vq_uart_tool.svg",
                                 "/usr/share/man/man1/vqgui.1.gz",
                                 "/usr/share/man/man1/vqimage.1.gz",
                                 "/usr/share/man/man1/vqprog.1.gz",
                                 "/usr/share/man/man1/vqsim.1.gz",
                                 "/usr/share/man/man1/vqstation.1.gz",
                                 kMetainfo,
                                 kStationMetainfo,
                                 kSample}));

    const auto field = [this](const char* name) { return run("dpkg-deb", {"-f", deb_, name}).out.trimmed(); };
    QCOMPARE(field("Package"), QString(kPackage));
    QCOMPARE(field("Version"), QString(VQ_VERSION));
    QCOMPARE(field("Section"), QString("electronics"));
    QVERIFY(field("Maintainer").contains('@'));
    // Computed from the programs' own libraries.
    const QString depends = field("Depends");
    for (const char* library : {"libc6", "libqt5core5a", "libqt5widgets5", "libqt5serialport5", "libqt5sql5-sqlite",
                                "libqt5charts5"})
        QVERIFY2(depends.contains(library), qPrintable(depends));
    QCOMPARE(field("Suggests"), QString("libqt5sql5-psql"));
}

void PackageTest::lintian_finds_no_error()
{
    const Run lint = run("lintian", {"--fail-on", "error", deb_});
    qInfo("lintian: %s", qPrintable(lint.out.isEmpty() ? QString("(nothing to say)") : lint.out));
    QVERIFY2(lint.code == 0, qPrintable(lint.out));
    QVERIFY2(!lint.out.contains(QRegularExpression("^E: ", QRegularExpression::MultilineOption)), qPrintable(lint.out));
}

void PackageTest::installed_programs_and_manual()
{
    need_installed();
    for (const char* tool : {"vqgui", "vqprog", "vqimage", "vqsim", "vqstation"}) {
        QCOMPARE(run(QString("/usr/bin/") + tool, {"--version"}).out, QString("%1 " VQ_VERSION "\n").arg(tool));
        const Run where = run("man", {"-w", tool});
        QCOMPARE(where.out.trimmed(), QString("/usr/share/man/man1/%1.1.gz").arg(tool));
    }
}

void PackageTest::installed_window_makes_its_user_folder()
{
    need_installed();
    QTemporaryDir home;
    QTemporaryDir start_folder;
    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.remove("XDG_DATA_HOME");
    env.remove("XDG_CONFIG_HOME");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("LD_PRELOAD", VQ_SMOKE_PROBE);
    env.insert("VQ_PROBE_TITLE", "VQ_Uart_GUI_V3.52");
    // As the menu entry starts it.
    const Run window = run("/usr/bin/vqgui", {"--user-folder"}, env, start_folder.path());
    QCOMPARE(window.out, QString("window shown: VQ_Uart_GUI_V3.52\n"));
    QCOMPARE(window.code, 0);

    const QDir folder(home.filePath(".local/share/vq-uart-tool"));
    QCOMPARE(file_bytes(folder.filePath("Flash.ini")), file_bytes(kSample));
    QVERIFY(folder.exists("config.ini"));
    QVERIFY(QDir(start_folder.path()).isEmpty());
}

void PackageTest::installed_menu_entry_and_metainfo_validate()
{
    need_installed();
    const Run desktop = run("desktop-file-validate", {kDesktop, kStationDesktop});
    QVERIFY2(desktop.code == 0 && desktop.out.isEmpty(), qPrintable(desktop.out));
    QVERIFY(file_bytes(kDesktop).contains("\nName=VQ UART tool\n"));
    QVERIFY(file_bytes(kStationDesktop).contains("\nExec=vqstation %f\n"));
    const Run metainfo = run("appstreamcli", {"validate", "--no-net", kMetainfo, kStationMetainfo});
    QVERIFY2(metainfo.code == 0, qPrintable(metainfo.out));
}

void PackageTest::installed_completion_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("offered");
    QTest::newRow("actions") << "vqprog --port /dev/ttyACM0 upd" << QStringList{"update-mcu", "update-flash"};
    QTest::newRow("options") << "vqprog --ba" << QStringList{"--baud"};
    QTest::newRow("rates") << "vqprog --baud 1382" << QStringList{"1382400"};
}

void PackageTest::installed_completion()
{
    need_installed();
    QFETCH(QString, line);
    QFETCH(QStringList, offered);
    const QString script = "source /usr/share/bash-completion/bash_completion; "
                           "source /usr/share/bash-completion/completions/vqprog; "
                           "COMP_LINE=\"$1\"; COMP_POINT=${#COMP_LINE}; read -ra COMP_WORDS <<<\"$1\"; "
                           "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                           "_vqprog vqprog \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"; "
                           "printf '%s\\n' \"${COMPREPLY[@]}\"";
    const Run completion = run("bash", {"-c", script, "bash", line});
    QCOMPARE(completion.out.split('\n', Qt::SkipEmptyParts), offered);
}

void PackageTest::cleanupTestCase()
{
    if (!installed_)
        return;
    const Run removed = run("dpkg", {"--purge", kPackage});
    QVERIFY2(removed.code == 0, qPrintable(removed.out));
    QVERIFY(!QFileInfo::exists("/usr/bin/vqprog"));
}

QTEST_GUILESS_MAIN(PackageTest)
#include "test_package.moc"
