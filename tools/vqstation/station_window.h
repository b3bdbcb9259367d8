#pragma once

// The line station's window: one tile per socket, a header with the images,
// today's counters and the last eight hours, and the whole line from shared
// records. It shows its StationController and forwards the operator's
// clicks; it never waits on a board, a poll, a file or the database.

#include <QHash>
#include <QMainWindow>
#include <QVector>

#include "station_controller.h"

class PresencePolls;
class QCloseEvent;
class QResizeEvent;
class QGridLayout;
class QLabel;
class QPushButton;
class QScrollArea;
class QTableWidget;
class QTabWidget;
class SocketRun;
class TileWidget;
namespace QtCharts {
class QBarSet;
class QCategoryAxis;
class QChartView;
class QValueAxis;
}  // namespace QtCharts

class StationWindow : public QMainWindow {
    Q_OBJECT

public:
    StationWindow(const StationEnvironment& env, QWidget* parent = nullptr);
    ~StationWindow() override;

    StationController* controller() const { return controller_; }
    // Reads a setup; false (and the reason in the header) when it cannot.
    bool open_setup(const QString& file);
    const StationSetup& setup() const { return controller_->setup(); }
    QString station_name() const { return controller_->station_name(); }
    const QVector<SocketRun*>& sockets() const { return controller_->sockets(); }
    TileWidget* tile(int index) const;
    int running_boards() const { return controller_->running_boards(); }
    using RecordsState = StationController::RecordsState;
    RecordsState records_state() const { return controller_->records_state(); }
    PresencePolls* presence() const { return controller_->presence(); }
    QTableWidget* line_table() const { return line_table_; }
    QLabel* counters_label() const { return counters_; }
    QLabel* records_label() const { return records_label_; }
    QLabel* images_label() const { return images_; }
    QWidget* header() const { return header_; }
    QScrollArea* tile_area() const { return tile_area_; }

public slots:
    void start_all() { controller_->start_all(); }
    void rescan_ports() { controller_->rescan_ports(); }
    void refresh_records() { controller_->refresh_records(); }
    void edit_setup();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void build_ui();
    void build_chart();
    void follow_sockets();
    void lay_out_tiles();
    void set_header_text(QLabel* label, const QString& text);
    void elide_header();
    void show_chart(const QVector<SlotCount>& halves);
    void show_line(const QVector<LineRow>& rows);
    void show_gating();
    void setup_shown();

    StationController* controller_;
    QHash<SocketRun*, TileWidget*> tiles_;
    QVector<TileWidget*> ordered_;
    int columns_ = 0;

    QWidget* header_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* images_ = nullptr;
    QLabel* counters_ = nullptr;
    QLabel* records_label_ = nullptr;
    QPushButton* start_all_ = nullptr;
    QPushButton* setup_button_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QScrollArea* tile_area_ = nullptr;
    QWidget* grid_host_ = nullptr;
    QGridLayout* grid_ = nullptr;
    QTableWidget* line_table_ = nullptr;
    QtCharts::QChartView* chart_view_ = nullptr;
    QtCharts::QBarSet* passed_set_ = nullptr;
    QtCharts::QBarSet* failed_set_ = nullptr;
    QtCharts::QCategoryAxis* chart_x_ = nullptr;
    QtCharts::QValueAxis* chart_y_ = nullptr;
};
