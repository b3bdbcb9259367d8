#pragma once

// The line station without its widgets: the sockets and their boards, the
// presence polls, what a board's start waits for (the records, the image
// writers, a poll of its port, the check of the setup's ports), the image
// snapshots, the records and the counters. Its file, database and network
// work runs off the thread it lives on, so a window showing it never waits;
// it is driven and read without one.

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QVector>
#include <memory>

#include "board_history.h"
#include "image_lease.h"
#include "port_publish.h"
#include "station_records.h"
#include "station_setup.h"

class ImageStore;
class PortMap;
class PortWatcher;
class PresencePolls;
class QTimer;
class SocketRun;
enum class PresenceStep;

struct StationEnvironment {
    QString vqprog;       // the program each board runs
    QString publish_dir;  // where simulated chips publish their ports
};

// A port the setup makes a socket, present now.
struct PresentSocket {
    QString key;     // the setup's name, the USB device, or "sim:" and the simulator's entry
    QString label;   // for the tile while no board is in it
    QString device;  // the port a child opens
};

// The sockets present on the given ports: each port the setup names
// (resolved through its link, so a /dev/serial/by-path name follows its
// physical socket), every USB serial adapter, every simulated chip.
QVector<PresentSocket> present_sockets(const StationSetup& setup, const QStringList& devices,
                                       const QList<PublishedPort>& simulators);

class StationController : public QObject {
    Q_OBJECT

public:
    using RecordsState = RecordsGate::State;

    explicit StationController(const StationEnvironment& env, QObject* parent = nullptr);
    // Stops the boards still running (each waited for, as a gang's parent
    // does); polls and image reads under way are left to end on their own.
    ~StationController() override;

    // Reads a setup; false with the reason when it cannot. Remote ports
    // named by host are checked against each other once their names
    // resolve: a setup naming one port twice is then refused (setup_refused).
    bool open_setup(const QString& file, QString* error);
    const StationSetup& setup() const { return setup_; }
    bool setup_ok() const { return setup_ok_; }
    const QString& setup_file() const { return setup_file_; }
    QString station_name() const;

    const QVector<SocketRun*>& sockets() const { return sockets_; }
    int running_boards() const;
    RecordsState records_state() const { return records_gate_.state; }
    PresencePolls* presence() const { return presence_; }
    QString images_text() const;
    bool closing() const { return closing_; }
    bool may_change_setup() const { return running_boards() == 0 && !closing_; }
    // What the station says on stderr as it closes; empty when it stopped no board.
    QString close_report() const;
    // Polls, image reads or records calls that had not ended when the
    // station went: the process must end without tearing them down.
    static bool work_left_running();

public slots:
    // A click on a tile, Start all: the board is started once nothing it
    // waits for is in the way.
    void request_start(SocketRun* socket);
    void start_all();
    void rescan_ports();
    void refresh_records();
    // Stops every running board for the station to close; true when none
    // runs (it may close now), else all_stopped follows.
    bool close_down();

signals:
    void title_changed(const QString& text);
    void images_changed(const QString& text);
    void counters_changed(const QString& text);
    void records_text_changed(const QString& text, bool problem);
    void chart_changed(const QVector<SlotCount>& halves);
    void line_changed(const QVector<LineRow>& rows);
    void sockets_changed();
    void gating_changed();
    void all_stopped();

private:
    SocketRun* socket_for(const PresentSocket& present);
    void clear_sockets();
    void drop_socket(SocketRun* socket);
    void refuse_setup(const QString& reason);
    void check_remote_ports();
    void host_resolved(quint64 setup, const QString& host, const QStringList& addresses);
    void remote_ports_checked(quint64 setup);
    void presence_step(SocketRun* socket, PresenceStep step, const QString& port);
    void follow_answer_socket(SocketRun* socket, const QString& port, bool first_look);
    QStringList named_port_targets() const;
    void pump_starts();
    void try_start(SocketRun* socket);
    void launch(SocketRun* socket);
    void board_finished(SocketRun* socket);
    QString board_log_file(const SocketRun* socket) const;
    // The records (station_controller_records.cpp).
    void prepare_records();
    void records_prepared(bool ok, const QString& error);
    void records_read(bool ok, const QVector<BoardRecord>& records, const QString& error);
    void show_tally(const StationTally& tally);
    void show_records_problem(const QString& error);
    void board_counted(SocketRun* socket);

    StationEnvironment env_;
    StationSetup setup_;
    QString setup_file_;
    bool setup_ok_ = false;
    quint64 setup_number_ = 0;
    std::unique_ptr<PortMap> port_map_;
    PortWatcher* watcher_ = nullptr;
    bool first_scan_done_ = false;
    bool closing_ = false;
    int stopped_for_close_ = 0;
    PresencePolls* presence_ = nullptr;
    ImageStore* images_ = nullptr;
    QTimer* links_timer_ = nullptr;  // runs while a named port's link is missing
    QStringList links_seen_;         // what the named ports led to at the last scan
    // Remote ports named by host: their sockets are not asked, nor their
    // boards started, until every name has resolved and no two are one port.
    bool ports_checked_ = true;
    bool remote_first_look_ = false;  // their first look is still the station's first
    QHash<QString, QStringList> addresses_;
    QStringList hosts_left_;
    QTimer* resolve_limit_ = nullptr;

    QVector<SocketRun*> sockets_;
    QHash<QString, SocketRun*> by_key_;

    struct PendingStart {
        quint64 look = 0;  // the image look that must have answered first
        ImageWaitClock clock;
    };
    QHash<SocketRun*, PendingStart> pending_;
    QTimer* image_recheck_ = nullptr;
    QElapsedTimer clock_;

    StationRecords* records_ = nullptr;
    RecordsGate records_gate_;
    struct SerialLookup {
        QPointer<SocketRun> socket;
        QString port;
        QDateTime since;
        int reads = 0;  // a read under way when the board ended may not hold its record yet
    };
    QVector<SerialLookup> serial_lookups_;  // PASS tiles whose number the next read brings
    QVector<BoardOutcome> session_boards_;  // without records: the boards of this run
    QTimer* records_timer_ = nullptr;
};
