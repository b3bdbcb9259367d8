#pragma once

// Test-side view of the main window: its widgets by object name and the
// state the operator cannot see but the window's own tests check (its paths,
// timers, and what it passed to its session). Inputs are set and operations
// started through the window's own driver, as front ends do. The protocol's
// state is the session's; its tests use session_rig.h.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>
#include <QTextEdit>
#include <QTimer>

#include "app/mainwindow.h"
#include "app/window_driver.h"

class MainWindowTestAccess {
public:
    explicit MainWindowTestAccess(MainWindow& w) : w(w), drive(w) {}

    WindowDriver& driver() { return drive; }

    template <class T>
    T* widget(const char* name) const
    {
        return w.findChild<T*>(QString::fromLatin1(name));
    }
    QPushButton* button(const char* name) const { return widget<QPushButton>(name); }
    QComboBox* combo(const char* name) const { return widget<QComboBox>(name); }
    QLineEdit* edit(const char* name) const { return widget<QLineEdit>(name); }

    QStringList log() const { return widget<QTextEdit>("textEdit")->toPlainText().split('\n'); }
    QString last_log() const { return log().last(); }
    void clear_log() const { widget<QTextEdit>("textEdit")->clear(); }

    BootSession& s() const { return w.session_; }
    // The window as the session's sink, for a test that listens in between.
    SessionSink& window_sink() { return w; }
    QSerialPort* serial() const { return s().serial; }
    QTimer* port_timer() const { return w.port_timer; }
    int wait_ms() const { return s().wait_ms; }
    uint32_t& chip_id() { return s().chip_id_; }
    int reconnect_state() const { return s().reconnect_state; }
    int link_down() const { return s().link_down; }
    int bl_set() const { return w.bl_set; }
    int usb_port_index() const { return w.usb_port_index; }
    QString mcu_image_path() const { return w.mcu_image_path; }
    QString flash_image_path() const { return w.flash_image_path; }
    int progress() const { return widget<QProgressBar>("progressBar")->value(); }
    QString label(const char* name) const { return widget<QLabel>(name)->text(); }
    void write_config() { w.write_config(); }
    void set_port_text(const QString& path)
    {
        combo("comboBox_Comm")->clear();
        drive.set_port(path);
    }

    MainWindow& w;
    WindowDriver drive;
};
