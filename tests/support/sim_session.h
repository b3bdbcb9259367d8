#pragma once

// A real main window talking through a real pty to the simulated boot
// loader, which runs on a thread of its own. The window's port list comes
// from the simulator's publish folder, as it does for an operator.

#include <QtTest>
#include <memory>

#include "sim_host.h"
#include "test_dialogs.h"
#include "window_access.h"

// A log line's hex word: "0x" and eight upper-case digits.
inline QString hex32(uint32_t v)
{
    return "0x" + QString("%1").arg(v, 8, 16, QChar('0')).toUpper();
}

// The log without its "Timer:" lines (their values change) and blank lines.
inline QStringList without_timers(const QStringList& log)
{
    QStringList out;
    for (const QString& line : log) {
        if (!line.startsWith("Timer:") && !line.isEmpty())
            out << line;
    }
    return out;
}

// chip_id while a port is open with no model identified.
constexpr uint32_t kSessionUnknownChipId = 0x19710000;

class SimSession : public SimHost {
public:
    explicit SimSession(const SimConfig& config = {}) : SimHost(config) {}

    // Starts the simulator and builds the window on its port. A test checks
    // it (QVERIFY(s.start())): a failure here must fail that test, not leave
    // a half-built session for the next line to crash on.
    bool start()
    {
        if (!start_sim())
            return false;
        window = std::make_unique<MainWindow>(nullptr, std::make_unique<SystemPortMap>(publish_dir.path()));
        access = std::make_unique<MainWindowTestAccess>(*window);
        access->set_port_text(sim.slave_path());
        access->clear_log();
        return true;
    }
    ~SimSession()
    {
        access.reset();
        window.reset();
    }

    MainWindowTestAccess& a() { return *access; }
    void click(const char* button) { QTest::mouseClick(access->button(button), Qt::LeftButton); }
    void same_rates() { access->combo("comboBox_NewRate")->setCurrentIndex(access->combo("comboBox_BAUDRATE")->currentIndex()); }

    // Open Comm with equal rate boxes: the chip is identified at 115200.
    void open_identified()
    {
        same_rates();
        click("pushButton_OpenCom");
        QCOMPARE(access->button("pushButton_OpenCom")->text(), QString("Close Comm"));
        QVERIFY(access->chip_id() != kSessionUnknownChipId);
        access->clear_log();
    }

    // Ends the window as the program ends it; true when it wrote its six
    // lines of config.ini.
    bool close_window_writes_config()
    {
        access.reset();
        window.reset();
        QFile config(work_dir.filePath("config.ini"));
        return config.open(QIODevice::ReadOnly) && config.readAll().count('\n') == 6;
    }

    RecordingDialogs dialogs;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainWindowTestAccess> access;
};
