#pragma once

// Test-side view of the main window: its widgets by object name and the
// state the operator cannot see but the tests must check. Inputs are set and
// operations started through the window's own driver, as front ends do.

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
    void start(Operation operation) { drive.start(operation); }

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
    int& rx_ready() { return s().rx_ready; }
    int& rx_len() { return s().rx_len; }
    const uint8_t* rx_buf() const { return s().rx_buf; }
    int& rx_wait_enabled() { return s().rx_wait_enabled; }
    int& wait_ms() { return s().wait_ms; }
    uint32_t& chip_id() { return s().chip_id_; }
    uint32_t boot_version() const { return s().boot_version; }
    int vcom_index() const { return s().vcom_index; }
    int& write_pacing_us() { return s().write_pacing_us; }
    int reconnect_state() const { return s().reconnect_state; }
    int link_down() const { return s().link_down; }
    int stop_requested() const { return s().stop_requested; }
    int bl_set() const { return w.bl_set; }
    int usb_port_index() const { return w.usb_port_index; }
    QString mcu_image_path() const { return w.mcu_image_path; }
    QString flash_image_path() const { return w.flash_image_path; }
    int mcu_image_len() const { return s().mcu_image_len; }
    uint32_t mcu_image_crc() const { return s().mcu_image_crc; }
    uint32_t& run_address() { return s().run_address; }
    int flash_image_len() const { return s().flash_image_len; }
    uint32_t flash_image_crc() const { return s().flash_image_crc; }
    int flash_image_has_info() const { return s().flash_image_has_info; }
    uint32_t flash_image_info_crc() const { return s().flash_image_info_crc; }
    QVector<uint32_t> file_diff_info() const { return QVector<uint32_t>(s().file_diff_info, s().file_diff_info + 8); }
    uint32_t flash_id() const { return s().flash_id; }
    int flash_size() const { return s().flash_size; }
    QString flash_name() const { return s().flash_name; }
    int progress() const { return widget<QProgressBar>("progressBar")->value(); }
    QString label(const char* name) const { return widget<QLabel>(name)->text(); }

    // Whether a reply, of any letter, came within the passes.
    bool wait_for_reply(int passes, int sleep_ms)
    {
        return s().await_reply(ReplyWait{passes, sleep_ms, 0, false, false}) != Reply::TimedOut;
    }
    int connect_device(char mode, uint32_t chip)
    {
        return s().connect_device(ConnectMode(mode), chip, w.read_link_settings());
    }
    bool open_port()
    {
        return s().open_port(combo("comboBox_Comm")->currentText(), combo("comboBox_BAUDRATE")->currentIndex());
    }
    int check_range_crc(uint32_t addr, int len, uint32_t crc) { return s().Check_FlashRangeCRC(addr, len, crc); }
    int check_block_crc(uint32_t addr, int len, uint32_t crc) { return s().Check_FlashBlockCRC(addr, len, crc); }
    void write_config() { w.write_config(); }
    int update_flash_skip_unchanged(const QString& file, bool file_crc = false)
    {
        drive.set_flash_image(file);
        drive.set_file_crc(file_crc);
        drive.set_skip_unchanged(true);
        drive.start(Operation::UpdateFlash);
        drive.set_skip_unchanged(false);
        return drive.last_update().code;
    }
    int update_mcu_skip_unchanged(const QString& file)
    {
        drive.set_mcu_image(file);
        drive.set_skip_unchanged(true);
        drive.start(Operation::UpdateMcu);
        drive.set_skip_unchanged(false);
        return drive.last_update().code;
    }
    UpdateBytes update_bytes() const { return drive.last_update().bytes; }
    void set_port_text(const QString& path)
    {
        combo("comboBox_Comm")->clear();
        drive.set_port(path);
    }

    MainWindow& w;
    WindowDriver drive;
};
