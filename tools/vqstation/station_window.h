#pragma once

// The line station: one tile per socket, each board run by a child vqprog
// from the moment its port appears; a header with the images, today's
// counters and the last eight hours; and the whole line from shared records.

#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QMainWindow>
#include <QVector>
#include <memory>

#include "board_history.h"
#include "image_watch.h"
#include "port_publish.h"
#include "station_setup.h"

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
class RecordsDb;
class SocketRun;
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
    QLabel* images_label() const { return images_; }
    QLabel* title_label() const { return title_; }

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
    void stop_all_for_close();

    StationEnvironment env_;
    StationSetup setup_;
    QString setup_file_;
    bool setup_ok_ = false;
    std::unique_ptr<PortMap> port_map_;
    PortWatcher* watcher_ = nullptr;
    bool first_scan_done_ = false;
    bool closing_ = false;
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

    std::unique_ptr<RecordsDb> records_;
    QVector<BoardOutcome> session_boards_;  // without records: the boards of this run

    QLabel* title_ = nullptr;
    QLabel* images_ = nullptr;
    QLabel* counters_ = nullptr;
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
