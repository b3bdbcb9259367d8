#include "station_window.h"

#include <QBarSet>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedBarSeries>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QValueAxis>
#include <QVBoxLayout>
#include <cmath>
#include <cstdio>

#include "chart_axis.h"
#include "setup_dialog.h"
#include "socket_run.h"
#include "tile_widget.h"

using namespace QtCharts;

namespace {
constexpr int kTickMs = 250;  // elapsed times and progress on the tiles
constexpr int kGridSpacing = 4;
const char kFullText[] = "full_text";
}  // namespace

StationWindow::StationWindow(const StationEnvironment& env, QWidget* parent)
    : QMainWindow(parent), controller_(new StationController(env, this))
{
    build_ui();
    connect(controller_, &StationController::title_changed, this, [this](const QString& t) { set_header_text(title_, t); });
    connect(controller_, &StationController::images_changed, this, [this](const QString& t) { set_header_text(images_, t); });
    connect(controller_, &StationController::counters_changed, counters_, &QLabel::setText);
    connect(controller_, &StationController::records_text_changed, this, [this](const QString& text, bool problem) {
        records_label_->setStyleSheet(problem ? QStringLiteral("color: #c01c28; font-weight: bold") : QString());
        records_label_->setText(text);
    });
    connect(controller_, &StationController::chart_changed, this, &StationWindow::show_chart);
    connect(controller_, &StationController::line_changed, this, &StationWindow::show_line);
    connect(controller_, &StationController::sockets_changed, this, &StationWindow::follow_sockets);
    connect(controller_, &StationController::gating_changed, this, &StationWindow::show_gating);
    connect(controller_, &StationController::all_stopped, this, [this] { QTimer::singleShot(0, this, &QWidget::close); });
    auto* tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, [this] {
        for (TileWidget* t : qAsConst(ordered_)) {
            if (t->socket()->running())
                t->update();
        }
    });
    tick->start(kTickMs);
}

StationWindow::~StationWindow()
{
    // The tiles go before the sockets they show.
    disconnect(controller_, nullptr, this, nullptr);
    qDeleteAll(ordered_);
    ordered_.clear();
    tiles_.clear();
    delete controller_;
}

TileWidget* StationWindow::tile(int index) const
{
    return tiles_.value(sockets().value(index));
}

void StationWindow::build_ui()
{
    setWindowTitle(QStringLiteral("VQ line station"));
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(6, 6, 6, 6);

    header_ = new QWidget(central);
    auto* header = new QHBoxLayout(header_);
    header->setContentsMargins(0, 0, 0, 0);
    auto* left = new QVBoxLayout;
    title_ = new QLabel(header_);
    QFont title_font = title_->font();
    title_font.setPointSize(title_font.pointSize() + 4);
    title_font.setBold(true);
    title_->setFont(title_font);
    set_header_text(title_, QStringLiteral("No setup yet: Setup... makes one"));
    images_ = new QLabel(header_);
    images_->setTextFormat(Qt::PlainText);
    // Long paths are elided to the room there is (the whole text in the
    // tooltip): a label never widens the window past the screen.
    for (QLabel* l : {title_, images_})
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    counters_ = new QLabel(header_);
    QFont counters_font = counters_->font();
    counters_font.setPointSize(counters_font.pointSize() + 2);
    counters_->setFont(counters_font);
    left->addWidget(title_);
    left->addWidget(images_);
    records_label_ = new QLabel(header_);
    records_label_->setTextFormat(Qt::PlainText);
    records_label_->setWordWrap(true);
    left->addWidget(counters_);
    left->addWidget(records_label_);
    auto* buttons = new QHBoxLayout;
    start_all_ = new QPushButton(QStringLiteral("Start all"), header_);
    setup_button_ = new QPushButton(QStringLiteral("Setup..."), header_);
    setup_button_->setObjectName(QStringLiteral("setup"));
    buttons->addWidget(start_all_);
    buttons->addWidget(setup_button_);
    buttons->addStretch();
    left->addLayout(buttons);
    left->addStretch();
    header->addLayout(left, 1);
    build_chart();
    header->addWidget(chart_view_, 1);
    column->addWidget(header_);

    // The tiles scroll below a header that stays: a hundred sockets fit a
    // 1280x900 screen, their tiles smaller, the rows past the window's
    // height a scroll away.
    tabs_ = new QTabWidget(central);
    tile_area_ = new QScrollArea(tabs_);
    tile_area_->setWidgetResizable(true);
    tile_area_->setFrameShape(QFrame::NoFrame);
    tile_area_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid_host_ = new QWidget(tile_area_);
    grid_ = new QGridLayout(grid_host_);
    grid_->setSpacing(kGridSpacing);
    grid_->setContentsMargins(0, 0, 0, 0);
    tile_area_->setWidget(grid_host_);
    tabs_->addTab(tile_area_, QStringLiteral("Sockets"));
    line_table_ = new QTableWidget(0, 6, tabs_);
    line_table_->setHorizontalHeaderLabels({QStringLiteral("Station"), QStringLiteral("Passed today"),
                                            QStringLiteral("Failed today"), QStringLiteral("Yield"),
                                            QStringLiteral("Last board"), QStringLiteral("Verdict")});
    line_table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    line_table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    line_table_->verticalHeader()->hide();
    tabs_->addTab(line_table_, QStringLiteral("Line"));
    column->addWidget(tabs_, 1);
    setCentralWidget(central);

    connect(start_all_, &QPushButton::clicked, this, &StationWindow::start_all);
    connect(setup_button_, &QPushButton::clicked, this, &StationWindow::edit_setup);
    resize(1280, 800);
}

void StationWindow::build_chart()
{
    auto* chart = new QChart;
    passed_set_ = new QBarSet(QStringLiteral("passed"));
    passed_set_->setColor(QColor(0x1e, 0x82, 0x3c));
    failed_set_ = new QBarSet(QStringLiteral("failed"));
    failed_set_->setColor(QColor(0xc0, 0x1c, 0x28));
    auto* series = new QStackedBarSeries;
    series->append(passed_set_);
    series->append(failed_set_);
    chart->addSeries(series);
    // Bars stand at 0..15; hour names sit on the boundaries between them.
    chart_x_ = new QCategoryAxis;
    chart_x_->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    chart_x_->setRange(-0.5, 16 - 0.5);
    chart_y_ = new QValueAxis;
    chart_y_->setLabelFormat(QStringLiteral("%d"));
    QFont axis_font = chart_x_->labelsFont();
    axis_font.setPointSize(8);
    chart_x_->setLabelsFont(axis_font);
    chart->addAxis(chart_x_, Qt::AlignBottom);
    chart->addAxis(chart_y_, Qt::AlignLeft);
    series->attachAxis(chart_x_);
    series->attachAxis(chart_y_);
    chart->legend()->setAlignment(Qt::AlignRight);
    chart->setMargins(QMargins(2, 2, 2, 2));
    chart->setTitle(QStringLiteral("last eight hours, boards per half hour"));
    chart_view_ = new QChartView(chart, header_);
    chart_view_->setRenderHint(QPainter::Antialiasing);
    chart_view_->setMinimumSize(460, 170);
    chart_view_->setMaximumHeight(190);
}

bool StationWindow::open_setup(const QString& file)
{
    QString error;
    if (!controller_->open_setup(file, &error)) {
        if (controller_->running_boards() == 0)
            set_header_text(title_, QStringLiteral("No setup: ") + error);
        return false;
    }
    setup_shown();
    return true;
}

void StationWindow::setup_shown()
{
    const StationSetup& s = controller_->setup();
    tabs_->setTabEnabled(1, s.records.startsWith(QLatin1String("postgres")));
    chart_view_->setVisible(!s.records.isEmpty());
}

// The tiles follow the controller's sockets: new ones get a tile, gone ones
// lose theirs, the rest keep theirs in the sockets' order.
void StationWindow::follow_sockets()
{
    const QVector<SocketRun*>& sockets = controller_->sockets();
    for (auto i = tiles_.begin(); i != tiles_.end();) {
        if (!sockets.contains(i.key())) {
            grid_->removeWidget(i.value());
            ordered_.removeAll(i.value());
            delete i.value();
            i = tiles_.erase(i);
        } else {
            ++i;
        }
    }
    ordered_.clear();
    for (SocketRun* s : sockets) {
        TileWidget*& t = tiles_[s];
        if (!t) {
            t = new TileWidget(ordered_.size() + 1, s, grid_host_);
            connect(t, &TileWidget::start_requested, controller_, &StationController::request_start);
            connect(t, &TileWidget::log_requested, this, [s] {
                if (!s->log_file().isEmpty())
                    QDesktopServices::openUrl(QUrl::fromLocalFile(s->log_file()));
            });
        }
        ordered_.append(t);
    }
    columns_ = 0;
    lay_out_tiles();
}

void StationWindow::lay_out_tiles()
{
    // As square as the count allows (16 sockets are 4 x 4), as many columns
    // as the width takes at the smallest tile.
    const int room = qMax(1, (tile_area_->viewport()->width() + kGridSpacing) / (TileWidget::kMinimumWidth + kGridSpacing));
    const int columns = qBound(1, int(std::ceil(std::sqrt(double(ordered_.size())))), room);
    if (columns == columns_)
        return;
    columns_ = columns;
    for (int i = 0; i < ordered_.size(); ++i) {
        grid_->removeWidget(ordered_[i]);
        grid_->addWidget(ordered_[i], i / columns, i % columns);
        ordered_[i]->set_number(i + 1);
        ordered_[i]->show();
    }
}

void StationWindow::show_gating()
{
    // The setup of a running board stays as it started.
    setup_button_->setEnabled(controller_->may_change_setup());
    start_all_->setEnabled(!controller_->closing());
}

void StationWindow::set_header_text(QLabel* label, const QString& text)
{
    label->setProperty(kFullText, text);
    label->setToolTip(text);
    const QFontMetrics m(label->font());
    const int room = qMax(80, label->width());
    QStringList lines;
    for (const QString& line : text.split(QLatin1Char('\n')))
        lines << m.elidedText(line, Qt::ElideMiddle, room);
    label->setText(lines.join(QLatin1Char('\n')));
}

void StationWindow::elide_header()
{
    for (QLabel* l : {title_, images_})
        set_header_text(l, l->property(kFullText).toString());
}

void StationWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    // The labels and the tile area have their new width only once the layout has run.
    QTimer::singleShot(0, this, [this] {
        elide_header();
        lay_out_tiles();
    });
}

void StationWindow::show_chart(const QVector<SlotCount>& halves)
{
    int top = 1;
    passed_set_->remove(0, passed_set_->count());
    failed_set_->remove(0, failed_set_->count());
    for (const QString& label : chart_x_->categoriesLabels())
        chart_x_->remove(label);
    for (int i = 0; i < halves.size(); ++i) {
        // Every second hour named, so the names stay readable.
        const QTime start = halves[i].start.toLocalTime().time();
        if (start.minute() == 0 && start.hour() % 2 == 0)
            chart_x_->append(start.toString(QStringLiteral("HH:mm")), i - 0.5);
        passed_set_->append(halves[i].passed);
        failed_set_->append(halves[i].failed);
        top = qMax(top, halves[i].passed + halves[i].failed);
    }
    const CountAxis axis = count_axis(top);
    chart_y_->setRange(0, axis.top);
    chart_y_->setTickCount(axis.ticks());
}

void StationWindow::show_line(const QVector<LineRow>& rows)
{
    line_table_->setRowCount(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const LineRow& r = rows[i];
        const QStringList cells{
            r.station,
            QString::number(r.tally.passed),
            QString::number(r.tally.failed),
            r.tally.yield() < 0 ? QStringLiteral("-") : QStringLiteral("%1 %").arg(r.tally.yield(), 0, 'f', 1),
            r.last_time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
            r.last_verdict,
        };
        for (int c = 0; c < cells.size(); ++c)
            line_table_->setItem(i, c, new QTableWidgetItem(cells[c]));
    }
}

void StationWindow::edit_setup()
{
    if (!controller_->may_change_setup())
        return;
    const QString file = controller_->setup_file();
    SetupDialog dialog(controller_->setup(), file.isEmpty() ? QDir::current().filePath(QStringLiteral("station.ini")) : file,
                       this);
    if (dialog.exec() != QDialog::Accepted || dialog.file().isEmpty())
        return;
    QString error;
    if (!save_station_setup(dialog.file(), dialog.setup(), &error)) {
        set_header_text(title_, error);
        return;
    }
    open_setup(dialog.file());
}

void StationWindow::closeEvent(QCloseEvent* event)
{
    if (!controller_->close_down()) {
        event->ignore();  // closed again once the last board has stopped
        return;
    }
    const QString report = controller_->close_report();
    if (!report.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(report));
    event->accept();
}
