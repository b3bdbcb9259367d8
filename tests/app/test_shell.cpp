// The application shell: the window as it starts, config.ini in and out,
// and the Exit button.

#include <QDir>
#include <QFile>
#include <QAbstractButton>
#include <QApplication>
#include <QGroupBox>
#include <QMessageBox>
#include <QVBoxLayout>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/user_folder.h"
#include "fake_port_map.h"
#include "fifo_watchdog.h"
#include "protocol/config_lines.h"
#include "protocol/connect_frame.h"
#include "protocol/frame.h"
#include "protocol/hex_text.h"
#include "scripted_transport.h"
#include "session/session_parts.h"
#include "test_dialogs.h"
#include "window_access.h"

namespace {

const QStringList kRates = {"9600",   "19200",  "38400",  "57600",   "115200", "230400",
                            "256000", "460800", "921600", "1382400", "3000000"};

std::unique_ptr<MainWindow> make_window()
{
    return std::make_unique<MainWindow>(nullptr,
                                        std::make_unique<FakePortMap>(std::make_shared<FakePortMap::Shared>()));
}

// A window whose links play the boot loader of *chip: every connect is
// answered as that chip answers it, so Open identifies its model.
std::unique_ptr<MainWindow> make_window_on_chip(std::shared_ptr<uint32_t> chip)
{
    auto answer = [chip](const QByteArray& frame) {
        if (frame.isEmpty() || frame[0] != 'K')
            return QByteArray();
        QByteArray reply(kReplyLen, '\0');
        reply[0] = 'K';
        const uint32_t signature = reply_signature(frame, *chip);
        for (int i = 0; i < 4; ++i)
            reply[1 + i] = char(signature >> (8 * i));
        return reply;
    };
    return std::make_unique<MainWindow>(
        nullptr, std::make_unique<FakePortMap>(std::make_shared<FakePortMap::Shared>()),
        [answer](const QString& name) -> std::unique_ptr<Transport> {
            return std::make_unique<ScriptedTransport>(name, answer, std::make_shared<QList<QByteArray>>());
        });
}

QStringList combo_items(QComboBox* c)
{
    QStringList items;
    for (int i = 0; i < c->count(); ++i)
        items << c->itemText(i);
    return items;
}

void write_file(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray read_file(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What a modal box showed, found from a timer while it runs.
struct SeenBox {
    bool found = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QStringList buttons;  // standard button names
    bool ok_pressed = false;
};

// Presses the box's OK button once it is up; any other box is dismissed so
// that a wrong one cannot hang the run.
void answer_next_box(SeenBox& seen, QTimer& poll)
{
    constexpr int kPollMs = 20;
    QObject::connect(&poll, &QTimer::timeout, [&seen, &poll] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll.stop();
        seen.found = true;
        seen.icon = box->icon();
        seen.title = box->windowTitle();
        seen.text = box->text();
        for (QAbstractButton* b : box->buttons())
            seen.buttons << QString::number(box->standardButton(b), 16);
        if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
            seen.ok_pressed = true;
            QTest::mouseClick(ok, Qt::LeftButton);
        } else {
            box->reject();
        }
    });
    poll.start(kPollMs);
}

}  // namespace

class ShellTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startup_state();
    void form_layout();
    void first_run_writes_defaults();
    void config_left_alone_when_turned_off();
    void config_lines_applied_data();
    void config_lines_applied();
    void wait_index_beyond_box();
    void config_round_trip();
    void unwritable_config_shows_box();
    void bad_config_files_data();
    void bad_config_files();
    void config_not_a_regular_file_data();
    void config_not_a_regular_file();
    void unreadable_config_kept();
    void long_config_lines_data();
    void long_config_lines();
    void exit_stops_and_closes();
    void helpers_format();
    void gating_keeps_run_off_for_uart0();


    void real_message_boxes_data();
    void real_message_boxes();

    void user_folder_data();
    void user_folder();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString old_cwd_;
};

void ShellTest::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    old_cwd_ = QDir::currentPath();
    QDir::setCurrent(dir_->path());
}

void ShellTest::cleanup()
{
    QDir::setCurrent(old_cwd_);
    dir_.reset();
}

void ShellTest::startup_state()
{
    RecordingDialogs dialogs;
    auto w = make_window();
    MainWindowTestAccess a(*w);

    QCOMPARE(w->windowTitle(), QString("VQ_Uart_GUI_V3.52"));
    QVERIFY(w->windowFlags().testFlag(Qt::Dialog));
    QVERIFY(w->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(w->windowFlags().testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!w->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));

    QCOMPARE(combo_items(a.combo("comboBox_BAUDRATE")), kRates);
    QCOMPARE(combo_items(a.combo("comboBox_NewRate")), kRates);
    QCOMPARE(combo_items(a.combo("comboBox_WaitTime")),
             QStringList({"1ms", "2ms", "3ms", "4ms", "5ms", "6ms", "7ms", "8ms"}));
    QCOMPARE(a.combo("comboBox_BAUDRATE")->currentText(), QString("115200"));
    QCOMPARE(a.combo("comboBox_NewRate")->currentText(), QString("1382400"));
    QCOMPARE(a.combo("comboBox_WaitTime")->currentText(), QString("3ms"));
    QCOMPARE(a.combo("comboBox_Comm")->count(), 0);

    QCOMPARE(a.widget<QLabel>("label_MCUCRC")->text(), QString("Mcu code,CRC = 0x0  Len: 0"));
    QCOMPARE(a.widget<QLabel>("label_FlashCRC")->text(), QString("Flash code,CRC = 0x0  Len: 0"));
    QCOMPARE(a.widget<QProgressBar>("progressBar")->value(), 0);

    const char* enabled[] = {"pushButton_Boot", "pushButton_BootII", "pushButton_OpenCom", "pushButton_Exit",
                             "pushButton_InputMCUCode", "pushButton_InputFlashCode"};
    const char* disabled[] = {"pushButton_UpdateMCU", "pushButton_CheckMCU", "pushButton_UpdateFlash",
                              "pushButton_FlashInfo", "pushButton_CheckFlash", "pushButton_RunApp"};
    for (const char* name : enabled)
        QVERIFY2(a.button(name)->isEnabled(), name);
    for (const char* name : disabled)
        QVERIFY2(!a.button(name)->isEnabled(), name);

    QCOMPARE(a.log(), QStringList({"Open config.ini fail", "BL_SET = 0"}));
    QCOMPARE(a.wait_ms(), 3);
    QCOMPARE(a.link_down(), 1);
    QVERIFY(!a.s().link().stop().requested());
    QCOMPARE(a.chip_id(), 0u);
    QCOMPARE(a.mcu_image_path(), QString("./"));
    QCOMPARE(a.flash_image_path(), QString("./"));
    QVERIFY(!a.s().port_open());
    QVERIFY(a.port_timer()->isActive());
    QCOMPARE(a.port_timer()->interval(), 1000);
    VERIFY_BOXES(dialogs);
}

void ShellTest::form_layout()
{
    RecordingDialogs dialogs;
    auto w = make_window();
    MainWindowTestAccess a(*w);

    QCOMPARE(w->objectName(), QString("MainWindow"));
    QCOMPARE(w->size(), QSize(960, 682));
    QCOMPARE(w->minimumSize(), QSize(960, 682));
    QCOMPARE(w->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(a.widget<QGroupBox>("groupBox")->title(), QString("Message"));
    QCOMPARE(a.widget<QGroupBox>("groupBox_2")->title(), QString("Control"));

    struct Expect {
        const char* name;
        const char* cls;
        const char* text;
        QRect geometry;  // null: placed by a layout
    };
    const Expect widgets[] = {
        {"label", "QLabel", "SerialPort: ", {10, 30, 81, 16}},
        {"comboBox_Comm", "QComboBox", "", {110, 26, 121, 25}},
        {"label_2", "QLabel", "BaudRate:", {10, 62, 81, 16}},
        {"comboBox_BAUDRATE", "QComboBox", "115200", {110, 58, 121, 25}},
        {"label_7", "QLabel", "New Rate:", {10, 92, 72, 15}},
        {"comboBox_NewRate", "QComboBox", "1382400", {110, 90, 121, 25}},
        {"label_8", "QLabel", "WaitTime:", {10, 126, 81, 16}},
        {"comboBox_WaitTime", "QComboBox", "3ms", {110, 122, 121, 25}},
        {"label_6", "QLabel", "MCU:  ", {30, 160, 51, 16}},
        {"lineEdit_McuType", "QLineEdit", "", {110, 154, 121, 25}},
        {"gridLayoutWidget", "QWidget", "", {20, 200, 211, 291}},
        {"checkBox_BaudRate", "QCheckBox", "Return 115200 when close Comm", {20, 498, 221, 19}},
        {"checkBox_FileCRC", "QCheckBox", "Check File CRC", {20, 520, 121, 16}},
        {"checkBox_SkipUnchanged", "QCheckBox", "Write only changed blocks", {20, 542, 211, 16}},
        {"label_3", "QLabel", "<html><head/><body><p>Flash ID: </p></body></html>", {20, 576, 81, 16}},
        {"label_4", "QLabel", "<html><head/><body><p>Flash Size: </p></body></html>", {20, 610, 91, 16}},
        {"label_5", "QLabel", "<html><head/><body><p>Flash Name: </p></body></html>", {20, 642, 101, 16}},
        {"verticalLayoutWidget", "QWidget", "", {120, 572, 111, 91}},
        {"pushButton_InputMCUCode", "QPushButton", "Input File", {}},
        {"pushButton_InputFlashCode", "QPushButton", "Input File", {}},
    };
    for (const Expect& e : widgets) {
        QWidget* widget = a.widget<QWidget>(e.name);
        QVERIFY2(widget, e.name);
        QCOMPARE(widget->metaObject()->className(), e.cls);
        if (!e.geometry.isNull())
            QCOMPARE(widget->geometry(), e.geometry);
        if (auto* l = qobject_cast<QLabel*>(widget))
            QCOMPARE(l->text(), QString(e.text));
        if (auto* b = qobject_cast<QAbstractButton*>(widget))
            QCOMPARE(b->text(), QString(e.text));
        if (auto* c = qobject_cast<QComboBox*>(widget))
            QCOMPARE(c->currentText(), QString(e.text));
    }

    const char* read_only[] = {"lineEdit_MCU", "lineEdit_Flash", "lineEdit_McuType",
                               "lineEdit_FlashID", "lineEdit_FlashSize", "lineEdit_FlashName"};
    for (const char* name : read_only)
        QVERIFY2(a.edit(name)->isReadOnly(), name);
    QVERIFY(!a.widget<QTextEdit>("textEdit")->isReadOnly());
    QVERIFY(!a.widget<QCheckBox>("checkBox_BaudRate")->isChecked());
    QVERIFY(!a.widget<QCheckBox>("checkBox_FileCRC")->isChecked());
    QVERIFY(!a.widget<QCheckBox>("checkBox_SkipUnchanged")->isChecked());

    // The ten buttons top to bottom, in their layout.
    const QStringList buttons = {"pushButton_Boot",       "pushButton_BootII",    "pushButton_OpenCom",
                                 "pushButton_UpdateMCU",  "pushButton_CheckMCU",  "pushButton_UpdateFlash",
                                 "pushButton_FlashInfo",  "pushButton_CheckFlash", "pushButton_RunApp",
                                 "pushButton_Exit"};
    const QStringList texts = {"BootMode-I", "BootMode-II", "Open Comm",       "Update MCU",           "Check Mcu CRC",
                               "Update Flash", "Flash Info", "Check Flash CRC", "Run Uart Application", "Exit"};
    auto* box = a.widget<QVBoxLayout>("verticalLayout_2");
    QCOMPARE(box->count(), 10);
    for (int i = 0; i < 10; ++i) {
        QCOMPARE(box->itemAt(i)->widget()->objectName(), buttons[i]);
        QCOMPARE(a.button(buttons[i].toLatin1().constData())->text(), texts[i]);
        QCOMPARE(a.button(buttons[i].toLatin1().constData())->font().family(), QString("Arial"));
        QVERIFY(a.button(buttons[i].toLatin1().constData())->font().bold());
    }

    // The keyboard focus chain follows the form's creation order.
    const QStringList chain = {"lineEdit_MCU",       "pushButton_InputMCUCode", "lineEdit_Flash",
                               "pushButton_InputFlashCode", "textEdit",      "checkBox_BaudRate",
                               "pushButton_Boot",    "pushButton_BootII",       "pushButton_OpenCom",
                               "pushButton_UpdateMCU", "pushButton_CheckMCU",   "pushButton_UpdateFlash",
                               "pushButton_FlashInfo", "pushButton_CheckFlash", "pushButton_RunApp",
                               "pushButton_Exit",    "comboBox_Comm",           "lineEdit_FlashID",
                               "lineEdit_FlashSize", "lineEdit_FlashName",      "lineEdit_McuType",
                               "comboBox_BAUDRATE",  "comboBox_NewRate",        "comboBox_WaitTime",
                               "checkBox_FileCRC",   "checkBox_SkipUnchanged"};
    QStringList seen;
    QWidget* start = a.widget<QWidget>("lineEdit_MCU");
    QWidget* at = start;
    do {
        if (chain.contains(at->objectName()))
            seen << at->objectName();
        at = at->nextInFocusChain();
    } while (at != start && seen.size() < chain.size());
    QCOMPARE(seen, chain);
    VERIFY_BOXES(dialogs);
}

void ShellTest::first_run_writes_defaults()
{
    RecordingDialogs dialogs;
    make_window().reset();
    QCOMPARE(read_file("config.ini"), QByteArray("EWHOLE:0\nNFLASH:0\n./\n./\nBLSET:0\nWAITT:2\n"));
    VERIFY_BOXES(dialogs);
}

// A window run by a script reads config.ini as an operator's would, but
// must not leave its settings behind, nor overwrite the operator's.
void ShellTest::config_left_alone_when_turned_off()
{
    RecordingDialogs dialogs;
    {
        auto w = make_window();
        w->set_config_written_at_exit(false);
    }
    QVERIFY(!QFile::exists("config.ini"));
    write_file("config.ini", "EWHOLE:1\nNFLASH:0\n/x.bin\n/y.bin\nBLSET:1\nWAITT:5\n");
    {
        auto w = make_window();
        w->set_config_written_at_exit(false);
        MainWindowTestAccess(*w).combo("comboBox_WaitTime")->setCurrentIndex(0);
    }
    QCOMPARE(read_file("config.ini"), QByteArray("EWHOLE:1\nNFLASH:0\n/x.bin\n/y.bin\nBLSET:1\nWAITT:5\n"));
    VERIFY_BOXES(dialogs);
}

void ShellTest::config_lines_applied_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QString>("mcu_path");
    QTest::addColumn<QString>("mcu_shown");
    QTest::addColumn<QString>("flash_path");
    QTest::addColumn<int>("bl_set");
    QTest::addColumn<QString>("wait_text");

    QTest::newRow("as written") << QByteArray("EWHOLE:1\nNFLASH:0\n/m.bin\n/f.bin\nBLSET:2\nWAITT:5\n") << true
                                << "/m.bin" << "/m.bin" << "/f.bin" << 2 << "6ms";
    QTest::newRow("10 checks, 12 is 1, 7 is 8ms")
        << QByteArray("EWHOLE:10\nx\n./\n./\nBLSET:12\nWAITT:7\n") << true << "./" << "./" << "./" << 1 << "8ms";
    QTest::newRow("9 selects 4ms") << QByteArray("EWHOLE:0\n\n\n\nBLSET:0\nWAITT:9\n") << false << "" << "" << ""
                                   << 0 << "4ms";
    QTest::newRow("empty line 6 selects 4ms")
        << QByteArray("EWHOLE:0\n\n./\n./\nBLSET:0\n\n") << false << "./" << "./" << "./" << 0 << "4ms";
    QTest::newRow("padded paths trimmed, shown as read")
        << QByteArray("EWHOLE:0\nNFLASH:0\n  /a b/m.bin \t\n\t/f.diff  \nBLSET:0\nWAITT:2\n") << false
        << "/a b/m.bin" << "  /a b/m.bin \t" << "/f.diff" << 0 << "3ms";
    QTest::newRow("two lines only") << QByteArray("EWHOLE:1\nNFLASH:0\n") << true << "./" << "" << "./" << 0
                                    << "3ms";
    QTest::newRow("lines beyond six ignored")
        << QByteArray("EWHOLE:0\nNFLASH:0\n./\n./\nBLSET:1\nWAITT:0\nWAITT:7\nEWHOLE:1\n") << false << "./"
        << "./" << "./" << 1 << "1ms";
}

void ShellTest::config_lines_applied()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, checked);
    QFETCH(QString, mcu_path);
    QFETCH(QString, mcu_shown);
    QFETCH(QString, flash_path);
    QFETCH(int, bl_set);
    QFETCH(QString, wait_text);

    write_file("config.ini", file);
    RecordingDialogs dialogs;
    auto w = make_window();
    MainWindowTestAccess a(*w);
    QCOMPARE(a.widget<QCheckBox>("checkBox_BaudRate")->isChecked(), checked);
    QCOMPARE(a.mcu_image_path(), mcu_path);
    QCOMPARE(a.edit("lineEdit_MCU")->text(), mcu_shown);
    QCOMPARE(a.flash_image_path(), flash_path);
    QCOMPARE(a.bl_set(), bl_set);
    QCOMPARE(a.combo("comboBox_WaitTime")->currentText(), wait_text);
    // Reading the file only selects the entry; the wait follows on Open.
    QCOMPARE(a.wait_ms(), 3);
    QCOMPARE(a.last_log(), QString("BL_SET = %1").arg(bl_set));
    QVERIFY(!a.log().contains("Open config.ini fail"));
    VERIFY_BOXES(dialogs);
}

void ShellTest::wait_index_beyond_box()
{
    write_file("config.ini", "EWHOLE:0\nNFLASH:0\n./\n./\nBLSET:0\nWAITT:8\n");
    RecordingDialogs dialogs;
    auto w = make_window();
    MainWindowTestAccess a(*w);
    QCOMPARE(a.combo("comboBox_WaitTime")->currentIndex(), -1);

    // Open with no port to open: the wait becomes 3 ms, the box says why nothing opened.
    a.s().link().reply().set_wait_ms(8);
    dialogs.expect_information("Title", "Open fail");
    QTest::mouseClick(a.button("pushButton_OpenCom"), Qt::LeftButton);
    QCOMPARE(a.wait_ms(), 3);
    QCOMPARE(a.button("pushButton_OpenCom")->text(), QString("Open Comm"));
    w.reset();
    QVERIFY(read_file("config.ini").endsWith("WAITT:3\n"));
    VERIFY_BOXES(dialogs);
}

void ShellTest::config_round_trip()
{
    RecordingDialogs dialogs;
    {
        auto w = make_window();
        MainWindowTestAccess a(*w);
        a.widget<QCheckBox>("checkBox_BaudRate")->setChecked(true);
        a.combo("comboBox_WaitTime")->setCurrentIndex(6);
        // The operator's pick sets the wait at once.
        QTest::keyClick(a.combo("comboBox_WaitTime"), Qt::Key_Down);
        QCOMPARE(a.combo("comboBox_WaitTime")->currentIndex(), 7);
        QCOMPARE(a.wait_ms(), 8);
        w.reset();
    }
    QCOMPARE(read_file("config.ini"), QByteArray("EWHOLE:1\nNFLASH:0\n./\n./\nBLSET:0\nWAITT:7\n"));
    auto w = make_window();
    MainWindowTestAccess a(*w);
    QVERIFY(a.widget<QCheckBox>("checkBox_BaudRate")->isChecked());
    QCOMPARE(a.combo("comboBox_WaitTime")->currentText(), QString("8ms"));
    VERIFY_BOXES(dialogs);
}

void ShellTest::unwritable_config_shows_box()
{
    // A directory where the file should be: it can be neither read nor written.
    QVERIFY(QDir().mkdir("config.ini"));
    RecordingDialogs dialogs;
    auto w = make_window();
    MainWindowTestAccess a(*w);
    QCOMPARE(a.log(), QStringList({"Open config.ini fail", "BL_SET = 0"}));
    dialogs.expect_error(QString::fromUtf8("打开文件失败"));
    w.reset();
    QVERIFY(QFileInfo("config.ini").isDir());
    QVERIFY(QDir("config.ini").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    VERIFY_BOXES(dialogs);
}

void ShellTest::bad_config_files_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("bl_set");
    QByteArray random(64 * 1024, '\0');
    quint32 seed = 12345;
    for (char& c : random) {
        seed = seed * 1103515245u + 12345u;
        c = char(seed >> 24);
    }
    random.replace('\n', 'x');  // one line of noise: only line 1 applies
    QTest::newRow("random bytes") << random << 0;
    QTest::newRow("one enormous line") << QByteArray(8 * 1024 * 1024, '7') << 0;
    QTest::newRow("nul bytes") << QByteArray("EWHOLE:\0\n\0\n\0\n\0\nBL\0SET:2\n\0", 24) << 2;
    QTest::newRow("carriage returns") << QByteArray("EWHOLE:1\r\nNFLASH:0\r\n./\r\n./\r\nBLSET:1\r\nWAITT:4\r\n") << 1;
}

void ShellTest::bad_config_files()
{
    QFETCH(QByteArray, file);
    QFETCH(int, bl_set);
    write_file("config.ini", file);
    RecordingDialogs dialogs;
    auto w = make_window();
    MainWindowTestAccess a(*w);
    QCOMPARE(a.bl_set(), bl_set);
    QCOMPARE(a.last_log(), QString("BL_SET = %1").arg(bl_set));
    QVERIFY(a.combo("comboBox_WaitTime")->currentIndex() < 8);
    w.reset();
    // Whatever was read, the file written back has the six lines.
    QCOMPARE(read_file("config.ini").count('\n'), 6);
    QVERIFY(read_file("config.ini").startsWith("EWHOLE:"));
    VERIFY_BOXES(dialogs);
}

void ShellTest::config_not_a_regular_file_data()
{
    QTest::addColumn<QString>("target");  // what config.ini is, or links to
    QTest::newRow("fifo") << "";
    QTest::newRow("link to a fifo") << "fifo";
    QTest::newRow("link to /dev/zero") << "/dev/zero";
    QTest::newRow("link to /dev/null") << "/dev/null";
}

void ShellTest::config_not_a_regular_file()
{
    // Neither start-up nor exit may block or read without end: it is a file
    // that cannot be opened, then a failed write.
    QFETCH(QString, target);
    const QString fifo = target.isEmpty() ? QStringLiteral("config.ini") : QStringLiteral("fifo");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    if (!target.isEmpty())
        QVERIFY(QFile::link(target, "config.ini"));
    FifoWatchdog watchdog(QFile::encodeName(QDir::current().filePath(fifo)));
    RecordingDialogs dialogs;
    auto w = make_window();
    MainWindowTestAccess a(*w);
    QCOMPARE(a.log(), QStringList({"Open config.ini fail", "BL_SET = 0"}));
    QCOMPARE(a.combo("comboBox_WaitTime")->currentText(), QString("3ms"));
    dialogs.expect_error(QString::fromUtf8("打开文件失败"));
    w.reset();
    watchdog.release();
    QVERIFY2(!watchdog.fired(), "config.ini blocked the window");
    QVERIFY(!QFileInfo(fifo).isFile());
    VERIFY_BOXES(dialogs);
}

void ShellTest::unreadable_config_kept()
{
    // The operator's settings in a file this user may write but not read:
    // the defaults must not replace them at exit.
    const QByteArray kept("EWHOLE:1\nNFLASH:0\n/home/op/mcu.bin\n/home/op/flash.bin\nBLSET:2\nWAITT:5\n");
    write_file("config.ini", kept);
    QVERIFY(::chmod("config.ini", 0200) == 0);
    // root reads everything; with another file-system user it cannot.
    const bool as_root = ::geteuid() == 0;
    if (as_root)
        QVERIFY(::chmod(".", 0755) == 0);
    RecordingDialogs dialogs;
    if (as_root)
        ::setfsuid(65534);
    auto w = make_window();
    if (as_root)
        ::setfsuid(0);
    MainWindowTestAccess a(*w);
    QCOMPARE(a.log(), QStringList({"Open config.ini fail", "BL_SET = 0"}));
    a.clear_log();
    a.write_config();
    QCOMPARE(a.log(), QStringList({QDir::currentPath() + "/config.ini",
                                   "config.ini could not be read at start-up: kept as it was"}));
    w.reset();
    QVERIFY(::chmod("config.ini", 0600) == 0);
    QCOMPARE(read_file("config.ini"), kept);
    VERIFY_BOXES(dialogs);
}

void ShellTest::long_config_lines_data()
{
    QTest::addColumn<int>("path_len");
    QTest::addColumn<bool>("applies");
    QTest::newRow("a long path") << kConfigLineMaxBytes << true;
    QTest::newRow("one byte more") << kConfigLineMaxBytes + 1 << false;
    QTest::newRow("a megabyte") << 1024 * 1024 << false;
    QTest::newRow("50 MB") << 50 * 1024 * 1024 << false;
}

void ShellTest::long_config_lines()
{
    // A line longer than any path does not apply; the lines after it do, and
    // it is not written back.
    QFETCH(int, path_len);
    QFETCH(bool, applies);
    const QByteArray path = "/" + QByteArray(path_len - 1, 'p');
    write_file("config.ini", "EWHOLE:1\nNFLASH:0\n" + path + "\r\n/f.bin\nBLSET:2\nWAITT:5\n");
    RecordingDialogs dialogs;
    auto w = make_window();
    MainWindowTestAccess a(*w);
    QCOMPARE(a.mcu_image_path(), applies ? QString::fromLatin1(path) : QString("./"));
    QCOMPARE(a.edit("lineEdit_MCU")->text().size(), applies ? path_len : 0);
    QCOMPARE(a.flash_image_path(), QString("/f.bin"));
    QCOMPARE(a.bl_set(), 2);
    QCOMPARE(a.combo("comboBox_WaitTime")->currentIndex(), 5);
    QVERIFY(a.widget<QCheckBox>("checkBox_BaudRate")->isChecked());
    w.reset();
    const QByteArray written = read_file("config.ini");
    QCOMPARE(written, "EWHOLE:1\nNFLASH:0\n" + (applies ? path : QByteArray("./")) + "\n/f.bin\nBLSET:2\nWAITT:5\n");
    VERIFY_BOXES(dialogs);
}

void ShellTest::exit_stops_and_closes()
{
    RecordingDialogs dialogs;
    auto w = make_window();
    MainWindowTestAccess a(*w);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    QTest::mouseClick(a.button("pushButton_Exit"), Qt::LeftButton);
    QVERIFY(a.s().link().stop().requested());
    QVERIFY(!w->isVisible());
    w.reset();
    QVERIFY(QFile::exists("config.ini"));
    VERIFY_BOXES(dialogs);
}

void ShellTest::helpers_format()
{
    QCOMPARE(hex32_text(134250496), QString("0x08008000"));
    QCOMPARE(hex32_text(0x8000000A), QString("0x8000000A"));
    QCOMPARE(hex32_text(0), QString("0x00000000"));
    const uint8_t bytes[] = {0x4B, 0x05, 0x00};
    QCOMPARE(hex_bytes_text(bytes, 3), QString("4b 5 0 "));

    RecordingDialogs dialogs;
    auto w = make_window();
    MainWindowTestAccess a(*w);
    say::timestamp(a.s().link());
    QVERIFY(QRegularExpression("^Timer:([1-9]?[0-9]):([1-5]?[0-9]):([1-5]?[0-9])$").match(a.last_log()).hasMatch());
    dialogs.expect_error("some text");
    w->show_error("some text");
    VERIFY_BOXES(dialogs);
}

void ShellTest::gating_keeps_run_off_for_uart0()
{
    RecordingDialogs dialogs;
    auto chip = std::make_shared<uint32_t>(0x19710210);
    auto w = make_window_on_chip(chip);
    MainWindowTestAccess a(*w);
    const char* gated[] = {"pushButton_OpenCom",  "pushButton_UpdateMCU", "pushButton_CheckMCU",
                           "pushButton_UpdateFlash", "pushButton_FlashInfo", "pushButton_CheckFlash"};
    a.set_port_text("scripted");
    a.start(Operation::OpenPort);
    QCOMPARE(a.chip_id(), 0x19710210u);
    w->set_action_buttons_enabled(true);
    for (const char* name : gated)
        QVERIFY2(a.button(name)->isEnabled(), name);
    QVERIFY(!a.button("pushButton_RunApp")->isEnabled());
    *chip = 0x19712100;
    a.start(Operation::ClosePort);
    a.start(Operation::OpenPort);
    QCOMPARE(a.chip_id(), 0x19712100u);
    w->set_action_buttons_enabled(true);
    QVERIFY(a.button("pushButton_RunApp")->isEnabled());
    w->set_action_buttons_enabled(false);
    for (const char* name : gated)
        QVERIFY2(!a.button(name)->isEnabled(), name);
    QVERIFY(!a.button("pushButton_RunApp")->isEnabled());
    VERIFY_BOXES(dialogs);
}

// The real seam, not the recording one: the boxes an operator sees.
void ShellTest::real_message_boxes_data()
{
    QTest::addColumn<bool>("critical");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("show_error") << true << "Message" << "Time over!";
    QTest::newRow("port that cannot be opened") << false << "Title" << "Open fail";
}

void ShellTest::real_message_boxes()
{
    QFETCH(bool, critical);
    QFETCH(QString, title);
    QFETCH(QString, text);
    Dialogs::install(nullptr);
    auto w = make_window();
    MainWindowTestAccess a(*w);
    w->show();

    SeenBox seen;
    QTimer poll;
    answer_next_box(seen, poll);
    if (critical) {
        w->show_error(text);
    } else {
        a.set_port_text(dir_->filePath("no-such-port"));
        QTest::mouseClick(a.button("pushButton_OpenCom"), Qt::LeftButton);
    }
    poll.stop();

    QVERIFY(seen.found);
    QCOMPARE(seen.icon, critical ? QMessageBox::Critical : QMessageBox::Information);
    QCOMPARE(seen.title, title);
    QCOMPARE(seen.text, text);
    QCOMPARE(seen.buttons, QStringList({QString::number(QMessageBox::Ok, 16)}));
    QVERIFY(seen.ok_pressed);
    QCOMPARE(a.button("pushButton_OpenCom")->text(), QString("Open Comm"));
}

void ShellTest::user_folder_data()
{
    QTest::addColumn<QByteArray>("xdg");     // @: the test's home folder
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("folder");     // under the home folder
    QTest::addColumn<QString>("said");       // the error, or the warning of a folder entered
    const QString ours = "/.local/share/vq-uart-tool";
    QTest::newRow("XDG_DATA_HOME") << QByteArray("@/data") << "" << "/data/vq-uart-tool" << "";
    QTest::newRow("relative XDG_DATA_HOME ignored") << QByteArray("data") << "" << ours << "";
    QTest::newRow("a file in the way")
        << QByteArray() << "file" << ours
        << "Cannot create the folder @" + ours + " (@/.local is a file, not a folder). Set XDG_DATA_HOME to a "
           "folder you may write in, or start vqgui without --user-folder in a folder of your own.";
    QTest::newRow("read-only") << QByteArray() << "read-only" << ours
                               << "The folder @" + ours + " is read-only: the settings (config.ini) will not be "
                                  "kept. Make it writable (chmod u+w @" + ours + "), or set XDG_DATA_HOME";
}

void ShellTest::user_folder()
{
    QFETCH(QByteArray, xdg);
    QFETCH(QString, setup);
    QFETCH(QString, folder);
    QFETCH(QString, said);
    const QString home = dir_->path();
    const QString path = user_folder_path(xdg.replace("@", QFile::encodeName(home)), home);
    QCOMPARE(path, home + folder);
    said.replace("@", home);
    write_file("sample.ini", "[sample]\n");
    if (setup == "file")
        write_file(".local", "");
    const bool as_root = ::geteuid() == 0;
    if (setup == "read-only") {
        QVERIFY(QDir().mkpath(path) && ::chmod(QFile::encodeName(path).constData(), 0555) == 0);
        QVERIFY(::chmod(QFile::encodeName(home).constData(), 0755) == 0);
        if (as_root)
            ::setfsuid(65534);
    }
    const UserFolderEntry entry = enter_user_folder(path, home + "/sample.ini");
    if (as_root)
        ::setfsuid(0);
    QCOMPARE(entry.ok, setup != "file");
    const QString told = entry.ok ? entry.warning : entry.error;
    QVERIFY2(said.isEmpty() ? told.isEmpty() : told.startsWith(said), qPrintable(told));
    if (setup.isEmpty())
        QCOMPARE(read_file(path + "/Flash.ini"), QByteArray("[sample]\n"));
}

QTEST_MAIN(ShellTest)
#include "test_shell.moc"
