#pragma once

#include <QMainWindow>
#include <QString>
#include <cstdint>
#include <memory>

#include "app/operation.h"
#include "flash/flash_frames.h"
#include "flashimage/skip_plan.h"
#include "flashimage/update_plan.h"
#include "protocol/connect_frame.h"
#include "protocol/link.h"
#include "protocol/reply_gather.h"
#include "serial/port_map.h"

class QSerialPort;
class QTimer;
class Ui_MainWindow;
class PortWatcher;
class WindowDriver;
struct McuRange;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // Where the settings come from: config.ini of the working folder, read
    // at start and written at exit; or, for a front end whose settings are
    // its own options, the window's defaults alone, the file neither read
    // nor written.
    enum class ConfigFile { Used, Ignored };

    // port_map: where the port list comes from; null means the system's own.
    explicit MainWindow(QWidget* parent = nullptr, std::unique_ptr<PortMap> port_map = {},
                        ConfigFile config = ConfigFile::Used);
    ~MainWindow() override;

    void set_action_buttons_enabled(bool on);

    void log_line(const QString& text);
    void show_error(const QString& text);
    void log_timestamp();
    void clear_log();
    void set_progress(int percent);
    static QString hex32(uint32_t value);
    static QString hex_bytes(const uint8_t* bytes, int count);

    // A window run without an operator (scripts, production lines) must not
    // leave its settings behind: off, the destructor leaves config.ini alone.
    void set_config_written_at_exit(bool on) { config_written_at_exit = on; }

    // What the last update that leaves out unchanged blocks wrote and left out.
    const UpdateBytes& update_bytes() const { return update_bytes_; }

signals:
    // Every line appended to the log pane and every progress value, as they
    // happen, for front ends that run the window hidden.
    void logged(const QString& text);
    void progress_changed(int percent);
    // Once per operation of a button, after its last log line (the verdict
    // where it has one): which operation ended and its result code (see
    // app/operation.h; 0 is success).
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
    void serial_receiveData();
    void serial_error();

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

    // Arrival and removal of a serial device, from the platform's notifications.
    void port_arrived(const QString& name);
    void port_removed(const QString& name);

private:
    friend class MainWindowTestAccess;
    friend class WindowDriver;

    // The buttons' operations; each returns how it ended, which its slot
    // reports through operation_ended.
    int open_or_close_operation();
    int input_mcu_image_operation();
    int update_mcu_operation(UpdateMode mode);
    int check_mcu_operation();
    int input_flash_image_operation();
    int update_flash_operation(UpdateMode mode);
    int flash_info_operation();
    int check_flash_operation();
    int run_app_operation();

    // Settings file (config.ini in the working directory)
    void read_config();
    void write_config();

    // The rate boxes and the WaitTime entry, read once by a slot.
    LinkSettings read_link_settings() const;

    // Link layer: write a frame, or a block's frames, and wait for the reply
    Reply exchange(const QByteArray& frame, const ReplyWait& wait);
    Reply exchange(const QVector<FrameOut>& frames, const ReplyWait& wait);
    Reply await_reply(const ReplyWait& wait);
    bool aborted() const;  // Exit pressed or the device removed
    void pause_for_reply(int ms);
    void pump_events();
    void write_frame(const QByteArray& frame);
    void discard_input();  // empties the port's buffers and the reply being gathered

    // Connect handshake and run
    int connect_device(ConnectMode mode, uint32_t expected_chip_id, const LinkSettings& link);
    int run_application(uint32_t start_address);  // run_application_result
    int identify_chip(const LinkSettings& link);   // identify_chip_result

    // Internal flash: commands, the MCU update and its image label
    int erase_mcu(uint32_t start_offset, uint32_t end_offset);
    int check_mcu_crc();  // of mcu_image_len bytes from run_address's page against mcu_image_crc
    int program_mcu_block(const QByteArray& data, uint32_t block_offset);   // single frame
    int program_mcu_frames(const QByteArray& data, uint32_t block_offset);  // J0/J1/J2 frames
    int write_mcu_block(const QByteArray& data, uint32_t block_offset);     // the form vcom_index selects
    int plan_mcu_update(uint32_t chip, McuRange* range);                    // refusals before anything is sent
    int update_mcu(int total, int blk, uint32_t chip, const LinkSettings& link, UpdateMode mode = UpdateMode::Full);
    // The update's two halves: refusals, the plan and both connects; then erase, blocks and CRC.
    int mcu_update_prologue(uint32_t chip, const LinkSettings& link, McuRange* range);
    int program_mcu_image(int total, int blk, const McuRange& range);
    void set_mcu_label(const QString& text);

    // External flash: commands, catalogue, identification, CRC checks
    int Set_FlashMode(uint8_t mode);
    int Get_FlashID(uint8_t variant);
    int Lookup_FlashIni(uint32_t id);  // lookup_flash_ini_result
    void set_flash_fields(const QString& id, const QString& size, const QString& name);
    // The two attempts; flash_id_result::kOk when either found a catalogued
    // flash, else the second's result, after one line saying why when it was
    // Flash.ini that gave no flash.
    int identify_flash(int pause_ms);
    // Sets the flash mode a flash needs (0: none); a check does not announce NAND mode.
    int prepare_flash_mode(int mode, bool announce_nand);  // prepare_flash_mode_result
    int run_flash_crc(const FlashCrcJob& job);
    int flash_crc_wait(const FlashCrcJob& job);
    int Check_FlashBlockCRC(uint32_t addr, int len, uint32_t crc);
    int Check_FlashRangeCRC(uint32_t addr, int len, uint32_t crc);
    int Check_FlashImageCRC(bool send_file_crc);
    bool refuse_closed_port();  // "Please open the port!" when it is closed

    // Flash images: selection, block writers, updates
    void set_flash_label(const QString& text);
    void take_flash_image_check(const FlashImageCheck& check);
    int Write_FlashBlock(const QByteArray& data, uint32_t address, int seq);
    int Write_FlashBlockPackets(const QByteArray& data, uint32_t address, int seq);
    int flash_update_prologue(const LinkSettings& link, int image_len);
    int write_flash_blocks(const QByteArray& source, const QVector<BlockWrite>& plan, bool packets);
    void log_update_start();
    void log_link_kind();
    int Update_FlashFull(int len, int blk, const LinkSettings& link, bool send_file_crc,
                         UpdateMode mode = UpdateMode::Full);
    // `len` bytes of image_data at `base`, then the range's CRC against `expected_crc`.
    int Update_FlashAt(uint32_t base, int len, int blk, uint32_t expected_crc, const LinkSettings& link,
                       UpdateMode mode = UpdateMode::Full);
    int Update_FlashDiff(int len, int blk, const LinkSettings& link, UpdateMode mode = UpdateMode::Full);

    // What an update in UpdateMode::SkipUnchanged asks and writes
    // (flashimage/skip_update.cpp, mcu/mcu_commands.cpp): the buttons never
    // use that mode, front ends do through the driver.
    SurveyAnswer ask_flash_crc(uint32_t address, uint32_t len);
    int write_image_blocks(uint32_t base, int len, int blk, TailStyle style, bool packets, UpdateMode mode);
    QVector<DiffRecord> diff_records_to_write(const QVector<DiffRecord>& records, int blk);
    bool mcu_image_held(int total, int blk, const McuRange& range);
    UpdateBytes update_bytes_;  // what the last update wrote and left out

    // Port session
    bool open_port_at_selected_rate();
    void close_port();
    // Closes the port and leaves the Open button ready: "Open Comm", enabled.
    void close_port_offer_open();
    int send_boot_sequence(const QByteArray& sequence);  // operation_result: kOk or kOpenFailed
    void end_session_on_removal();
    // Sets the Open button, or while the chip is being identified, the state
    // it takes when that ends.
    void set_open_button_enabled(bool on);

    // Form
    Ui_MainWindow* ui = nullptr;

    // The one serial port
    QSerialPort* serial = nullptr;
    QString port_name;

    // Reply gathering
    uint8_t rx_buf[kRxBufLen] = {};
    int rx_len = 0;
    int rx_ready = 0;
    int rx_wait_enabled = 1;
    int wait_ms = 3;

    // The identified chip and what its boot loader reported
    uint32_t chip_id = 0;
    uint32_t boot_version = 0;
    int vcom_index = 0;
    int write_pacing_us = 125;
    int reconnect_state = 0;
    bool identifying = false;        // Open and BootMode are off while this runs
    bool open_button_wanted = true;  // the Open button's state once identification ends

    // Abort flags of long operations
    int link_down = 1;
    int stop_requested = 0;
    // Block writes in a row with no reply that end a flash update; 0 (the
    // default) keeps the rule that a timed-out block counts as written.
    int max_timed_out_blocks = 0;
    int timed_out_blocks_in_row = 0;  // of the flash update running, across its calls of write_flash_blocks

    // Port discovery
    int usb_port_index = -1;
    QTimer* port_timer = nullptr;
    std::unique_ptr<PortMap> port_map;
    QList<PortMapEntry> port_entries;  // the map as enumerated by the last refresh
    PortWatcher* port_watcher = nullptr;
    bool refresh_after_removal = false;  // the open port was removed; the next refresh offers Open again
    bool session_port_removed = false;   // the open port's device went away; cleared when a port opens

    // Selected MCU image
    QString mcu_image_path = QStringLiteral("./");
    int mcu_image_len = 0;
    uint32_t mcu_image_crc = 0;
    uint32_t run_address = 0;

    // Selected flash image
    QString flash_image_path = QStringLiteral("./");
    int flash_image_len = 0;
    uint32_t flash_image_crc = 0;
    int flash_image_has_info = 0;
    uint32_t flash_image_info_crc = 0;
    uint32_t file_diff_info[8] = {};
    QByteArray image_data;

    // Identified external flash
    uint32_t flash_id = 0;
    int flash_size = 0;
    QString flash_name;
    QString flash_catalogue_problem;  // why the last lookup found nothing; empty when it found the ID

    // Settings
    int bl_set = 0;
    bool config_kept = false;  // config.ini exists but could not be read: not rewritten at exit
    bool config_written_at_exit = true;
};
