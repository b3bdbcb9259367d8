#pragma once

// Why a serial port could not be opened and what the operator can do about
// it, told in one log line. The two first-day failures with USB serial
// adapters are a port the user may not open (not in its group) and a port
// that another program holds (ModemManager probes every new CDC-ACM device).

#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

// A process that holds a port, and where the system shows it.
struct PortHolder {
    qint64 pid = 0;
    QString name;     // the process's name
    QString seen_in;  // "/proc/<pid>/fd" or the lock file naming it
    bool exclusive = false;  // it set the port's exclusive mode, which root's open would pass
};

// What the system shows about a port that would not open.
struct PortFacts {
    QString port;                // the device path, /dev/ttyACM0
    bool not_serial = false;     // a file, or a device that is no terminal (/dev/null)
    bool busy = false;           // the kernel refuses the open: held exclusively by a program not seen
    bool access_denied = false;  // this user may not read and write it
    QString group;               // the group owning the device
    bool group_may_use = false;  // that group may read and write it
    bool user_in_group = false;  // the group database lists this user in it
    QVector<PortHolder> holders; // other processes holding it, the lock file's first
    QString stale_lock;          // a lock file naming a process that has ended, or none
    qint64 stale_lock_pid = 0;
    QString usb_id;              // "vvvv:pppp" of a USB device, for a udev rule
};

// Whether a live process may be the one a lock file names. The kernel keeps
// the first 15 characters of a process's name; a lock or a process that
// shows no name is taken at its word.
bool lock_names_process(const QString& lock_app, const QString& process_name);

// What one process has open, as the system shows it.
struct OpenFiles {
    QStringList paths;         // where its descriptors lead
    QVector<int> served_ptys;  // the pseudo-terminal index of each /dev/ptmx descriptor
};

// Whether a process with these files holds the port (its canonical path)
// as a rival. One holding the master side of a pseudo-terminal port serves
// it (a simulated chip): it is the device, not a rival.
bool holds_port(const OpenFiles& files, const QString& port_path);

// The line for what the facts show; empty when they show no cause.
QString port_open_advice(const PortFacts& facts);

// What the system shows now about the port (Linux; elsewhere, nothing).
PortFacts gather_port_facts(const QString& port);

// Another live process whose lock file names the port, or (as root) that
// holds the port in exclusive mode. Checked before an open: the port library
// takes a lock older than 30 s for a leftover even when its process still
// runs, root's open passes an exclusive mode, and the port library's close
// would then clear that program's exclusive mode.
//
// How root looks for a holder that left no lock file: every process's open
// files (the port itself opened only when another has it, so no line of a
// port nobody uses is raised), or, for a caller that opens the port next in
// any case, the port opened at once and its exclusive mode asked: a presence
// poll every second, where the scan would cost more than the poll.
enum class HolderLook { Processes, OpenAndAsk };
std::optional<PortHolder> port_lock_holder(const QString& port, HolderLook look = HolderLook::Processes);

// The pid a lock file names: as text (the usual form), or as a 4-byte
// binary number (an older form); 0 when it names none.
qint64 lock_file_pid(const QByteArray& head);
