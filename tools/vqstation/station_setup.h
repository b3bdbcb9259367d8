#pragma once

// The station's setup: what every board gets (actions, rates, stamps, serial
// counter, records) and which ports are its sockets. Kept as an INI file
// through QSettings, so a line engineer can read and diff it:
//
//   [station]
//   name=bench-2
//   records=/srv/line/records.db          ; or postgresql://...
//   [actions]
//   1=update-mcu mcu.bin                  ; files relative to the setup file
//   2=update-flash flash.bin
//   3=check-flash
//   [link]
//   baud=115200
//   new_rate=1382400
//   [production]
//   skip_unchanged=false
//   stamps=flash@0x1000:dec:10
//   serial_counter=boards
//   serial_start=1000
//   [sockets]
//   usb_adapters=true                     ; every USB serial adapter is a socket
//   simulated=true                        ; so is every simulated chip
//   ports=/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0, /dev/ttyUSB7 presence=answer
//   presence=port                         ; or answer: a board is there while its boot loader answers

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include "options.h"

struct StationAction {
    QString name;  // update-mcu, update-flash, check-flash, check-mcu, run
    QString file;  // absolute; empty for actions without an image
};

struct StationSetup {
    QString name;     // the station's name in the records; empty: the host name
    QString records;  // SQLite file or postgresql:// URL; empty: none
    QVector<StationAction> actions;
    int baud = 0;      // 0: vqprog's default
    int new_rate = 0;  // 0: vqprog's default
    bool skip_unchanged = false;
    QStringList stamps;  // vqprog --stamp values
    QString serial_counter;
    qint64 serial_start = -1;
    QString flash_ini;  // empty: Flash.ini of the setup's folder
    bool usb_adapters = true;
    bool simulated = true;
    QStringList ports;  // device names or /dev/serial/by-path names, one socket each
    // How a socket learns that a board is in it: its port appearing, or, for
    // adapters that stay plugged in, its boot loader answering. A named port
    // may say otherwise than the rest after its name in ports=.
    QString presence = QStringLiteral("port");
    QHash<QString, QString> port_presence;  // a named port's own, where it has one
    QString folder;     // where the setup file lives: the children's working folder

    // The files of the actions, each once, in order.
    QStringList image_files() const;
};

constexpr char kPresencePort[] = "port";
constexpr char kPresenceAnswer[] = "answer";

// Whether the socket of that key (a named port, an adapter's device, a
// simulator's entry) waits for its boot loader to answer.
bool socket_presence_by_answer(const StationSetup& setup, const QString& key);

// false with a message naming the file and the line's trouble.
bool load_station_setup(const QString& file, StationSetup* setup, QString* error);
bool save_station_setup(const QString& file, const StationSetup& setup, QString* error);

// The setup's problems that no board should be started with; empty when none.
QStringList station_setup_problems(const StationSetup& setup);

// What each board's vqprog is told: the setup's actions, link, stamps,
// counter and records as vqprog's own options, so that the station never
// spells a vqprog flag itself.
Options station_board_options(const StationSetup& setup);

// The arguments that make vqprog run one board of this station on port.
QStringList station_child_arguments(const StationSetup& setup, const QString& port);

// The device a socket's port name leads to: a /dev/serial/by-path link is
// followed to its adapter's device.
QString socket_device(const QString& name);

// Actions a station may run, in the order the dialog offers them.
QStringList station_action_names();
bool station_action_takes_file(const QString& name);
