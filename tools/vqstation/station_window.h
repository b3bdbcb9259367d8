#pragma once

// The line station: one tile per socket, each board run by a child vqprog
// from the moment its port appears; a header with the images, today's
// counters and the last eight hours; and the whole line from shared records.

#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QMainWindow>
#include <QVector>
#include <memory>

#include "board_history.h"
#include "image_watch.h"
#include "port_publish.h"
#include "station_setup.h"

class AnswerPresence;
class PortMap;
class PortWatcher;
class QCloseEvent;
class QResizeEvent;
class QGridLayout;
class QLabel;
class QPushButton;
class QTableWidget;
class QTabWidget;
class QTemporaryDir;
class QTimer;
class SocketRun;
class StationRecords;
class TileWidget;
namespace QtCharts {
class QBarSet;
class QCategoryAxis;
class QChartView;
class QValueAxis;
}  // namespace QtCharts

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

class StationWindow : public QMainWindow {
    Q_OBJECT

public:
    StationWindow(const StationEnvironment& env, QWidget* parent = nullptr);
    ~StationWindow() override;

    // Reads a setup; false (and the reason in the header) when it cannot.
    bool open_setup(const QString& file);
    const StationSetup& setup() const { return setup_; }
    QString station_name() const;

    const QVector<SocketRun*>& sockets() const { return sockets_; }
    TileWidget* tile(int index) const { return tiles_.value(index); }
    int running_boards() const;
    QTableWidget* line_table() const { return line_table_; }
    QLabel* counters_label() const { return counters_; }
    QLabel* records_label() const { return records_label_; }
    // The records target as the station found it: opened (and created when
    // missing) once per setup, then read every few seconds.
    enum class RecordsState { None, Preparing, Ready, Unusable };
    RecordsState records_state() const { return records_state_; }
    QLabel* images_label() const { return images_; }
    AnswerPresence* presence() const { return presence_; }

public slots:
    void start_all();
    void rescan_ports();
    void refresh_records();
    void edit_setup();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void build_ui();
    void start_board(SocketRun* socket);
    void board_finished(SocketRun* socket);
    SocketRun* socket_for(const PresentSocket& present);
    void refresh_images();
    // The images still changing on disk, in the words of the header; empty
    // when every one has a snapshot to give (or a reason of its own).
    QStringList unsettled_images() const;
    QString snapshot(const QString& name, const QByteArray& bytes);
    QString board_log_file(const SocketRun* socket) const;
    void drop_socket(SocketRun* socket);
    void lay_out_tiles();
    void set_header_text(QLabel* label, const QString& text);
    void elide_header();
    void show_tally(const StationTally& tally);
    void show_chart(const QVector<SlotCount>& halves);
    void show_line(const QVector<LineRow>& rows);
    void update_gating();
    void prepare_records();
    void records_prepared(bool ok, const QString& error);
    void records_read(bool ok, const QVector<BoardRecord>& records, const QString& error);
    void show_records_problem(const QString& error);
    void stop_all_for_close();
    void answer_presence_setup();
    void follow_answer_socket(SocketRun* socket, const QString& port);
    QStringList named_port_targets() const;

    StationEnvironment env_;
    StationSetup setup_;
    QString setup_file_;
    bool setup_ok_ = false;
    std::unique_ptr<PortMap> port_map_;
    PortWatcher* watcher_ = nullptr;
    bool first_scan_done_ = false;
    bool closing_ = false;
    AnswerPresence* presence_ = nullptr;
    QTimer* links_timer_ = nullptr;   // runs while a named port's link is missing
    QStringList links_seen_;          // what the named ports led to at the last scan
    int stopped_for_close_ = 0;

    QVector<SocketRun*> sockets_;
    QVector<TileWidget*> tiles_;
    QHash<QString, SocketRun*> by_key_;

    struct ImageInfo {
        FileState state;
        QElapsedTimer state_seen;  // since the station first saw it as it is
        bool settling = false;     // written to meanwhile: no snapshot yet
        QString text;  // "flash.bin 0x1234ABCD, 65536 bytes"
        QString snapshot;  // the bytes that CRC is of, which the boards take; empty: unreadable
    };
    QHash<QString, ImageInfo> images_seen_;
    std::unique_ptr<QTemporaryDir> snapshots_;
    int snapshot_count_ = 0;
    QHash<SocketRun*, QElapsedTimer> held_since_;  // boards waiting for an image to settle

    StationRecords* records_ = nullptr;
    RecordsState records_state_ = RecordsState::None;
    bool records_were_ready_ = false;
    int prepares_pending_ = 0;  // once opened, never created again in this setup
    QSet<SocketRun*> waiting_for_records_;  // boards plugged in while the target was being opened
    struct SerialLookup {
        QPointer<SocketRun> socket;
        QString port;
        QDateTime since;
        int reads = 0;  // a read under way when the board ended may not hold its record yet
    };
    QVector<SerialLookup> serial_lookups_;  // PASS tiles whose number the next read brings
    QVector<BoardOutcome> session_boards_;  // without records: the boards of this run

    QLabel* title_ = nullptr;
    QLabel* images_ = nullptr;
    QLabel* counters_ = nullptr;
    QLabel* records_label_ = nullptr;
    QPushButton* start_all_ = nullptr;
    QPushButton* setup_button_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QWidget* grid_host_ = nullptr;
    QGridLayout* grid_ = nullptr;
    QTableWidget* line_table_ = nullptr;
    QtCharts::QChartView* chart_view_ = nullptr;
    QtCharts::QBarSet* passed_set_ = nullptr;
    QtCharts::QBarSet* failed_set_ = nullptr;
    QtCharts::QCategoryAxis* chart_x_ = nullptr;
    QtCharts::QValueAxis* chart_y_ = nullptr;
    QTimer* tick_ = nullptr;
    QTimer* records_timer_ = nullptr;
};

// The sockets present on the given ports: each port the setup names
// (resolved through its link, so a /dev/serial/by-path name follows its
// physical socket), every USB serial adapter, every simulated chip.
QVector<PresentSocket> present_sockets(const StationSetup& setup, const QStringList& devices,
                                       const QList<PublishedPort>& simulators);
