#pragma once

// One board: a boot-loader session driven from the command line. Every
// frame, retry and verdict is the session's, as the window's buttons get
// them; this class reads the options, calls the procedures in order and
// reports through the console what the session reports.

#include <QObject>
#include <QString>
#include <memory>

#include "options.h"
#include "session/session_report.h"

class BoardProduction;
class BootSession;
class Console;
class QTemporaryDir;
class SignalWatch;

class BoardRun : public QObject {
    Q_OBJECT

public:
    BoardRun(const Options& options, Console& console, SignalWatch& watch);
    ~BoardRun() override;

    // Runs the actions in order, stopping at the first failure; an exit code,
    // 128 + the signal's number when a signal stopped the run.
    int run();

private:
    class ConsoleSink;

    bool prepare();  // port, Flash.ini, log file
    bool run_action(const Action& given);
    bool identify();
    void close_port();
    int send_boot_sequence(const QByteArray& sequence);
    int run_application();
    bool flash_info();
    bool update_mcu(const QString& file);
    bool check_mcu(const QString& file);
    bool update_flash(const QString& file);
    bool check_flash(const QString& file);
    UpdateOptions update_options() const;
    void notice_removal();
    void port_removed(const QString& name);
    void watch_port();
    void interrupt(int signal_number);

    const Options& options_;
    Console& console_;
    SignalWatch& watch_;
    int interrupted_by_ = 0;  // the signal that stopped the run, 0 while none
    std::unique_ptr<ConsoleSink> sink_;
    std::unique_ptr<BootSession> session_;
    std::unique_ptr<QTemporaryDir> catalogue_dir_;
    std::unique_ptr<BoardProduction> production_;  // serial number, stamped images, records
    QString port_;
    bool port_present_ = false;  // its device node, as last seen
    // The rates the next open uses: after a switch to the New Rate the boot
    // loader listens there, after Run it is back at the default rate.
    LinkSettings link_;
    UpdateReport last_update_;
    bool device_gone_ = false;
};
