#pragma once

// One board: the real main window, hidden, driven through its own slots.
// Every frame, retry, box and verdict is the window's; this class only sets
// the inputs, presses the buttons and reads the verdict lines.

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

#include "app/dialogs.h"
#include "options.h"

class Console;
class MainWindow;
class QTemporaryDir;

class BoardRun : public QObject {
    Q_OBJECT

public:
    BoardRun(const Options& options, Console& console);
    ~BoardRun() override;

    // Runs the actions in order, stopping at the first failure; an exit code.
    int run();

private:
    class ConsoleDialogs;

    bool prepare();  // port, rates, WaitTime, Flash.ini
    bool select_port();
    bool run_action(const Action& action);
    bool identify();
    bool flash_info();
    bool update_mcu(const QString& file);
    bool check_mcu(const QString& file);
    bool update_flash(const QString& file);
    bool check_flash(const QString& file);
    bool run_application();
    bool boot_mode(const QString& which);
    bool port_open() const;
    void notice_removal();
    void press(const char* slot);
    bool saw(const QStringList& lines) const;  // any of them logged during the current action
    void set_line_edit(const char* name, const QString& text);

    const Options& options_;
    Console& console_;
    std::unique_ptr<ConsoleDialogs> dialogs_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<QTemporaryDir> catalogue_dir_;
    QString port_;
    QStringList action_log_;  // the log lines of the action running
    bool device_gone_ = false;
    int box_count_ = 0;  // boxes during the action running
};
