#pragma once

// One board: the real main window, hidden, driven through its typed driver.
// Every frame, retry, box and verdict is the window's; this class only sets
// the inputs, starts the operations and reads how each ended.

#include <QObject>
#include <QString>
#include <memory>

#include "app/dialogs.h"
#include "app/operation.h"
#include "options.h"

class BoardProduction;
class Console;
class MainWindow;
class QTemporaryDir;
class SignalWatch;
class WindowDriver;

class BoardRun : public QObject {
    Q_OBJECT

public:
    BoardRun(const Options& options, Console& console, SignalWatch& watch);
    ~BoardRun() override;

    // Runs the actions in order, stopping at the first failure; an exit code,
    // 128 + the signal's number when a signal stopped the run.
    int run();

private:
    class ConsoleDialogs;

    bool prepare();  // port, rates, WaitTime, Flash.ini
    bool run_action(const Action& given);
    int start(Operation operation);  // the operation's result code
    bool identify();
    bool flash_info();
    bool update_mcu(const QString& file);
    bool check_mcu(const QString& file);
    bool update_flash(const QString& file);
    bool check_flash(const QString& file);
    void notice_removal();
    void interrupt(int signal_number);
    void abandon();  // the operation did not stop in time

    const Options& options_;
    Console& console_;
    SignalWatch& watch_;
    int interrupted_by_ = 0;  // the signal that stopped the run, 0 while none
    std::unique_ptr<ConsoleDialogs> dialogs_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<WindowDriver> driver_;
    std::unique_ptr<QTemporaryDir> catalogue_dir_;
    std::unique_ptr<BoardProduction> production_;  // serial number, stamped images, records
    QString port_;
    bool device_gone_ = false;
    int result_ = 0;  // of the operation that ended last
};
