#pragma once

#include <QMainWindow>
#include <QString>
#include <cstdint>
#include <memory>

#include "serial/port_map.h"
#include "session/boot_session.h"
#include "session/operation.h"

class QTimer;
class Ui_MainWindow;
class PortWatcher;

class MainWindow : public QMainWindow, private SessionSink {
    Q_OBJECT

public:
    // port_map: where the port list comes from; null means the system's own.
    // maker: where the session's links come from (a test plays a script).
    // The settings come from config.ini of the working folder, read at start
    // and written at exit, and from the per-user settings.
    explicit MainWindow(QWidget* parent = nullptr, std::unique_ptr<PortMap> port_map = {},
                        TransportMaker maker = make_transport);
    ~MainWindow() override;

    void set_action_buttons_enabled(bool on);

    void log_line(const QString& text) override;
    void show_error(const QString& text);

    // A remote port named at start: with no USB device to pre-select, the
    // list's refresh selects it and offers Open, as it does the USB device.
    void offer_remote_port(const QString& url) { offered_remote_port_ = url.trimmed(); }

    // Off, the destructor leaves config.ini alone.
    void set_config_written_at_exit(bool on) { config_written_at_exit = on; }
    void write_config();  // config.ini in the working directory, as at exit

    // The session the window drives, and the window as that session's sink
    // (for a front end that listens in between).
    BootSession& session() { return session_; }
    SessionSink& session_sink() { return *this; }
    // What the window keeps that the operator does not see: config.ini's
    // BL_SET, the port list's USB serial entry, where the file dialogs start.
    int bl_setting() const { return bl_set; }
    int usb_port_entry() const { return usb_port_index; }
    QString mcu_dialog_path() const { return mcu_image_path; }
    QString flash_dialog_path() const { return flash_image_path; }

signals:
    // Every line appended to the log pane, as it happens.
    void logged(const QString& text);
    // Once per operation of a button, after its last log line (the verdict
    // where it has one): which operation ended and its result code (see
    // session/operation.h; 0 is success).
    void operation_ended(Operation operation, int result);

protected:
    bool nativeEvent(const QByteArray& eventType, void* message, long* result) override;

private slots:
    // The list text of port map entry `index`; notes the USB serial device's
    // index on the way. keyValue is taken and not used.
    QString GetComm(int index, QString keyValue);
    // Refills the port list and pre-selects the USB serial device.
    void LockforTPdevice();
    // port_timer's one-shot refresh of the port list.
    void Timer1_Out_Event();
    int Open_SerialPort();  // operation_result: kOk, kOpenFailed or kNoChip
    void Close_SerialPort();

    void on_pushButton_OpenCom_clicked();
    void on_pushButton_RunApp_clicked();
    void on_pushButton_Exit_clicked();
    void on_comboBox_WaitTime_activated(QString arg1);
    void on_pushButton_Boot_clicked();
    void on_pushButton_BootII_clicked();
    void on_pushButton_FlashInfo_clicked();
    void on_pushButton_CheckFlash_clicked();
    void on_pushButton_InputFlashCode_clicked();
    void on_pushButton_UpdateFlash_clicked();
    void on_pushButton_InputMCUCode_clicked();
    void on_pushButton_UpdateMCU_clicked();
    void on_pushButton_CheckMCU_clicked();
    void on_checkBox_SkipUnchanged_toggled(bool checked);  // kept in the per-user settings

    // Arrival and removal of a serial device, from the platform's notifications.
    void port_arrived(const QString& name);
    void port_removed(const QString& name);

private:
    // What the session shows, on the window's widgets.
    void clear_log() override;
    void error_box(const QString& title, const QString& text) override;
    void notice_box(const QString& title, const QString& text) override;
    void progress(int percent) override;
    void chip_identified(uint32_t chip_id, const QString& model_name) override;
    void flash_fields(const QString& id, const QString& size, const QString& name) override;
    void mcu_label(const QString& text) override;
    void flash_label(const QString& text) override;
    void actions_enabled(bool on) override;
    void port_failed(const QString& port_name) override;

    // The buttons' operations; each returns how it ended, which its slot
    // reports through operation_ended.
    int open_or_close_operation();
    int input_mcu_image_operation();
    int input_flash_image_operation();
    int run_app_operation();

    // Settings file (config.ini in the working directory)
    void read_config();
    // Per-user settings (Write only changed blocks), read at start; a box
    // changed by the operator is written at once.
    void read_user_settings();

    // The rate boxes and the WaitTime entry, read once by a slot.
    LinkSettings read_link_settings() const;
    // What an Update button asks for: the link, Check File CRC and Write
    // only changed blocks.
    UpdateOptions read_update_options() const;

    // Closes the port and leaves the Open button ready: "Open Comm", enabled.
    void close_port_offer_open();
    int send_boot_sequence(const QByteArray& sequence);  // operation_result: kOk or kOpenFailed
    void end_session_on_removal();
    // Sets the Open button, or while the chip is being identified, the state
    // it takes when that ends.
    void set_open_button_enabled(bool on);

    // Form
    Ui_MainWindow* ui = nullptr;

    NullSessionSink null_sink_;  // what the session reports to once the window is going
    BootSession session_;
    bool identifying = false;        // Open and BootMode are off while this runs
    bool open_button_wanted = true;  // the Open button's state once identification ends

    // Port discovery
    int usb_port_index = -1;
    QTimer* port_timer = nullptr;
    std::unique_ptr<PortMap> port_map;
    QList<PortMapEntry> port_entries;  // the map as enumerated by the last refresh
    PortWatcher* port_watcher = nullptr;
    bool refresh_after_removal = false;  // the open port was removed; the next refresh offers Open again
    QString offered_remote_port_;

    // Where the file dialogs start: the last image chosen
    QString mcu_image_path = QStringLiteral("./");
    QString flash_image_path = QStringLiteral("./");

    // Settings
    int bl_set = 0;
    bool config_kept = false;  // config.ini exists but could not be read: not rewritten at exit
    bool config_written_at_exit = true;
};
