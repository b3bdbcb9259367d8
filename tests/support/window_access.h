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

    QSerialPort* serial() const { return w.serial; }
    QTimer* port_timer() const { return w.port_timer; }
    int& rx_ready() { return w.rx_ready; }
    int& rx_len() { return w.rx_len; }
    const uint8_t* rx_buf() const { return w.rx_buf; }
    int& rx_wait_enabled() { return w.rx_wait_enabled; }
    int& wait_ms() { return w.wait_ms; }
    uint32_t& chip_id() { return w.chip_id; }
    uint32_t boot_version() const { return w.boot_version; }
    int vcom_index() const { return w.vcom_index; }
    int& write_pacing_us() { return w.write_pacing_us; }
    int reconnect_state() const { return w.reconnect_state; }
    int link_down() const { return w.link_down; }
    int stop_requested() const { return w.stop_requested; }
    int bl_set() const { return w.bl_set; }
    int usb_port_index() const { return w.usb_port_index; }
    QString mcu_image_path() const { return w.mcu_image_path; }
    QString flash_image_path() const { return w.flash_image_path; }
    int mcu_image_len() const { return w.mcu_image_len; }
    uint32_t mcu_image_crc() const { return w.mcu_image_crc; }
    uint32_t& run_address() { return w.run_address; }
    int flash_image_len() const { return w.flash_image_len; }
    uint32_t flash_image_crc() const { return w.flash_image_crc; }
    int flash_image_has_info() const { return w.flash_image_has_info; }
    uint32_t flash_image_info_crc() const { return w.flash_image_info_crc; }
    QVector<uint32_t> file_diff_info() const { return QVector<uint32_t>(w.file_diff_info, w.file_diff_info + 8); }
    uint32_t flash_id() const { return w.flash_id; }
    int flash_size() const { return w.flash_size; }
    QString flash_name() const { return w.flash_name; }
    int progress() const { return widget<QProgressBar>("progressBar")->value(); }
    QString label(const char* name) const { return widget<QLabel>(name)->text(); }

    // Whether a reply, of any letter, came within the passes.
    bool wait_for_reply(int passes, int sleep_ms)
    {
        return w.await_reply(ReplyWait{passes, sleep_ms, 0, false, false}) != Reply::TimedOut;
    }
    int connect_device(char mode, uint32_t chip)
    {
        return w.connect_device(ConnectMode(mode), chip, w.read_link_settings());
    }
    bool open_port() { return w.open_port_at_selected_rate(); }
    int check_range_crc(uint32_t addr, int len, uint32_t crc) { return w.Check_FlashRangeCRC(addr, len, crc); }
    int check_block_crc(uint32_t addr, int len, uint32_t crc) { return w.Check_FlashBlockCRC(addr, len, crc); }
    void write_config() { w.write_config(); }
    int update_flash_skip_unchanged(const QString& file, bool file_crc = false)
    {
        drive.set_flash_image(file);
        drive.set_file_crc(file_crc);
        return w.update_flash_operation(UpdateMode::SkipUnchanged);
    }
    int update_mcu_skip_unchanged(const QString& file)
    {
        drive.set_mcu_image(file);
        return w.update_mcu_operation(UpdateMode::SkipUnchanged);
    }
    UpdateBytes update_bytes() const { return w.update_bytes(); }
    void set_port_text(const QString& path)
    {
        combo("comboBox_Comm")->clear();
        drive.set_port(path);
    }

    MainWindow& w;
    WindowDriver drive;
};
