#pragma once

// The typed way into a window that runs without an operator (the
// tests): set the inputs an operator would set, start the operation of a
// button, read back what the window holds. How an operation ended comes from
// MainWindow::operation_ended(Operation, int), emitted once per operation
// before start() returns; the log lines come from MainWindow::logged and the
// boxes through Dialogs, as they do for an operator. Nothing here reads a
// text to learn an outcome.
//
// The driver sets the window's own widgets, so the window's rules apply as
// for an operator: a rate box set here is the one Open Comm reads, WaitTime
// takes effect as when its entry is chosen, and so on.

#include <QString>
#include <QStringList>
#include <cstdint>

#include "app/operation.h"
#include "protocol/session_report.h"

class MainWindow;

class WindowDriver {
public:
    explicit WindowDriver(MainWindow& window) : w_(window) {}

    // ---- Inputs ----

    // Fills the port list now, as the window does a second after it starts
    // and after ports come and go.
    void refresh_ports();
    // The port the list has selected (the USB serial device, when one is
    // listed); empty when the list is empty.
    QString selected_port() const;
    // Selects the port by its name; one the list does not hold (a pty no
    // simulator published) is added to it. Open Comm and BootMode open it.
    void set_port(const QString& name);
    // Indexes into kBaudRates (serial/rates.h): the rate a port is opened
    // at, and the New Rate the boot loader is asked to switch to.
    void set_rate_index(int index);
    void set_new_rate_index(int index);
    // The WaitTime entry, 1 to 8 ms, chosen as an operator chooses it.
    void set_wait_ms(int ms);
    // Check File CRC.
    void set_file_crc(bool on);
    // The image files. Update MCU and Update Flash read the file named here;
    // InputMcuImage and InputFlashImage choose it as an operator picks it in
    // their file dialog (an empty path cancels that dialog).
    void set_mcu_image(const QString& path);
    void set_flash_image(const QString& path);

    // ---- Operations ----

    // Runs the operation of its button to its end, as a click would, whether
    // or not the button is enabled at the moment. The window pumps events
    // while it waits for the device: removal and progress arrive meanwhile.
    // OpenPort on an open port and ClosePort on a closed one change nothing
    // and end with operation_result::kNothingToDo.
    void start(Operation operation);
    // Asks a running operation to stop as Exit does (the session's stop),
    // without closing the window. Every wait for the device ends at once from
    // then on: meant to be followed by ClosePort and the end of the program.
    void request_stop();
    // Closes the port at once, whatever is running: the last resort of a
    // program that must end before the operation does. Nothing of the
    // window may run after this but its destructor.
    void close_port_now();
    // Without an operator to answer the boxes: n block writes in a row with
    // no reply end a flash update as failed (flash_update_result::kChipSilent).
    // 0, the window's own rule, counts every timed-out block as written and
    // lets the final CRC check decide.
    void set_max_timed_out_blocks(int n) { max_timed_out_blocks_ = n; }
    // Update MCU and Update Flash leave out what the chip or the flash
    // already holds.
    void set_skip_unchanged(bool on) { skip_unchanged_ = on; }
    // What the last Update MCU or Update Flash started here reported.
    const UpdateReport& last_update() const { return last_update_; }

    // ---- Values ----

    bool port_open() const;
    // The identified chip: 0 before any Open, the catalogue's ID of the
    // model, or the unknown-chip ID when none answered; its model's name as
    // the window shows it ("unknown" for none).
    uint32_t chip_id() const;
    QString chip_model() const;
    uint32_t boot_version() const;  // as the boot loader reported it at the last connect
    // The external flash of the last Flash Info or check: its ID as read, its
    // size (0 when the catalogue does not list it) and its catalogue name.
    uint32_t flash_id() const;
    int flash_size() const;
    QString flash_name() const;
    // The device of the open port went away during the session (unplugged,
    // hung up); cleared when a port is opened again.
    bool device_removed() const;
    // What the log pane holds: the lines the window logged before a front
    // end could connect to MainWindow::logged (those of its start).
    QStringList log_lines() const;

private:
    UpdateOptions update_options() const;

    MainWindow& w_;
    bool skip_unchanged_ = false;
    int max_timed_out_blocks_ = 0;
    UpdateReport last_update_;
};
