#include "station_window.h"

#include <QApplication>
#include <QCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QDir>
#include <QFileSystemWatcher>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QStackedBarSeries>
#include <QSaveFile>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTableWidget>
#include <QTimer>
#include <QValueAxis>
#include <QVBoxLayout>
#include <cmath>
#include <csignal>
#include <cstdio>

#include "flashimage/flash_limits.h"
#include "platform/file_read.h"
#include "protocol/crc32.h"
#include "protocol/hex_text.h"
#include "records.h"
#include "serial/port_map.h"
#include "serial/port_url.h"
#include "serial/port_watcher.h"
#include "setup_dialog.h"
#include "socket_run.h"
#include "tile_widget.h"

using namespace QtCharts;

namespace {

constexpr int kTickMs = 250;              // elapsed times and progress on the tiles
constexpr int kRecordsRefreshMs = 4000;   // counters, chart and the line view: "every few seconds"
constexpr int kChartSlots = 16;           // eight hours...
constexpr int kChartSlotMinutes = 30;     // ...in half hours

bool is_usb_serial_adapter(const QString& device)
{
    return device.startsWith(QLatin1String("/dev/ttyUSB")) || device.startsWith(QLatin1String("/dev/ttyACM"));
}

QString short_name(const QString& name)
{
    // by-path names are long and alike at the front: the USB location is the end.
    return name.section(QLatin1Char('/'), -1);
}

}  // namespace

QVector<PresentSocket> present_sockets(const StationSetup& setup, const QStringList& devices,
                                       const QList<PublishedPort>& simulators)
{
    QVector<PresentSocket> out;
    QStringList taken;
    for (const QString& name : setup.ports) {
        // A port served over the network is there as long as the station
        // runs; the child's connection says otherwise.
        if (is_remote_port(name)) {
            out.append({name, short_name(name), name});
            continue;
        }
        // A by-path name is a link to the adapter's device; that device
        // need not exist while its socket is empty.
        const QFileInfo info(name);
        const QString device = info.isSymLink() ? QDir::cleanPath(info.symLinkTarget()) : name;
        taken << device;
        if (!device.isEmpty() && (devices.contains(device) || QFileInfo::exists(device)))
            out.append({name, short_name(name), device});
    }
    if (setup.usb_adapters) {
        for (const QString& d : devices) {
            if (is_usb_serial_adapter(d) && !taken.contains(d))
                out.append({d, short_name(d), d});
        }
    }
    if (setup.simulated) {
        for (const PublishedPort& p : simulators) {
            if (!taken.contains(p.path))
                out.append({QStringLiteral("sim:") + p.file,
                            QStringLiteral("sim %1").arg(p.file.section(QLatin1Char('.'), 0, 0)), p.path});
        }
    }
    return out;
}

StationWindow::StationWindow(const StationEnvironment& env, QWidget* parent)
    : QMainWindow(parent), env_(env), port_map_(std::make_unique<SystemPortMap>(env.publish_dir))
{
    build_ui();
    watcher_ = new PortWatcher(port_map_.get(), this);
    connect(watcher_, &PortWatcher::arrived, this, &StationWindow::rescan_ports);
    connect(watcher_, &PortWatcher::removed, this, &StationWindow::rescan_ports);
    // A simulator publishes by writing its entry: looked at at once rather
    // than at the next poll, so its board starts well inside the second.
    prepare_publish_dir(env_.publish_dir);
    auto* published = new QFileSystemWatcher(this);
    published->addPath(env_.publish_dir);
    connect(published, &QFileSystemWatcher::directoryChanged, this, &StationWindow::rescan_ports);

    tick_ = new QTimer(this);
    connect(tick_, &QTimer::timeout, this, [this] {
        for (TileWidget* t : tiles_) {
            if (t->socket()->running())
                t->update();
        }
    });
    tick_->start(kTickMs);
    records_timer_ = new QTimer(this);
    connect(records_timer_, &QTimer::timeout, this, &StationWindow::refresh_records);
    records_timer_->start(kRecordsRefreshMs);
}

StationWindow::~StationWindow()
{
    // Told all at once, so a slow board does not hold up the others' stop;
    // each socket then waits for its own child (SocketRun's destructor).
    for (SocketRun* s : sockets_) {
        disconnect(s, nullptr, this, nullptr);
        s->stop(SIGTERM);
    }
    qDeleteAll(sockets_);
    sockets_.clear();
}

void StationWindow::build_ui()
{
    setWindowTitle(QStringLiteral("VQ line station"));
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(6, 6, 6, 6);

    auto* header = new QHBoxLayout;
    auto* left = new QVBoxLayout;
    title_ = new QLabel(central);
    QFont title_font = title_->font();
    title_font.setPointSize(title_font.pointSize() + 4);
    title_font.setBold(true);
    title_->setFont(title_font);
    title_->setText(QStringLiteral("No setup yet: Setup... makes one"));
    images_ = new QLabel(central);
    images_->setTextFormat(Qt::PlainText);
    counters_ = new QLabel(central);
    QFont counters_font = counters_->font();
    counters_font.setPointSize(counters_font.pointSize() + 2);
    counters_->setFont(counters_font);
    left->addWidget(title_);
    left->addWidget(images_);
    left->addWidget(counters_);
    auto* buttons = new QHBoxLayout;
    start_all_ = new QPushButton(QStringLiteral("Start all"), central);
    setup_button_ = new QPushButton(QStringLiteral("Setup..."), central);
    setup_button_->setObjectName(QStringLiteral("setup"));
    buttons->addWidget(start_all_);
    buttons->addWidget(setup_button_);
    buttons->addStretch();
    left->addLayout(buttons);
    left->addStretch();
    header->addLayout(left, 1);

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
    chart_x_->setRange(-0.5, kChartSlots - 0.5);
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
    chart_view_ = new QChartView(chart, central);
    chart_view_->setRenderHint(QPainter::Antialiasing);
    chart_view_->setMinimumSize(460, 170);
    chart_view_->setMaximumHeight(190);
    header->addWidget(chart_view_, 1);
    column->addLayout(header);

    tabs_ = new QTabWidget(central);
    grid_host_ = new QWidget(tabs_);
    grid_ = new QGridLayout(grid_host_);
    grid_->setSpacing(4);
    grid_->setContentsMargins(0, 0, 0, 0);
    tabs_->addTab(grid_host_, QStringLiteral("Sockets"));
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

QString StationWindow::station_name() const
{
    return setup_.name.isEmpty() ? RecordsDb::default_station() : setup_.name;
}

bool StationWindow::open_setup(const QString& file)
{
    StationSetup setup;
    QString error;
    if (running_boards() > 0)
        return false;  // a running board keeps the setup it started with
    if (!load_station_setup(file, &setup, &error)) {
        title_->setText(QStringLiteral("No setup: ") + error);
        setup_ok_ = false;
        return false;
    }
    setup_ = setup;
    setup_file_ = QFileInfo(file).absoluteFilePath();
    setup_ok_ = true;
    QSettings().setValue(QStringLiteral("last_setup"), setup_file_);
    records_.reset();
    images_seen_.clear();
    title_->setText(QStringLiteral("Station %1  (%2)").arg(station_name(), QFileInfo(file).fileName()));
    const QStringList problems = station_setup_problems(setup_);
    if (!problems.isEmpty())
        title_->setText(title_->text() + QStringLiteral("  -  ") + problems.join(QStringLiteral("; ")));
    // The sockets are the new setup's: the named ones have their tiles from
    // the start, waiting; the others come as their ports do.
    qDeleteAll(tiles_);
    qDeleteAll(sockets_);
    tiles_.clear();
    sockets_.clear();
    by_key_.clear();
    for (const QString& name : setup_.ports)
        socket_for({name, short_name(name), QString()});
    const bool line = setup_.records.startsWith(QLatin1String("postgres"));
    tabs_->setTabEnabled(1, line);
    chart_view_->setVisible(!setup_.records.isEmpty());
    refresh_images();
    first_scan_done_ = false;
    rescan_ports();
    refresh_records();
    return true;
}

SocketRun* StationWindow::socket_for(const PresentSocket& present)
{
    if (SocketRun* s = by_key_.value(present.key))
        return s;
    auto* s = new SocketRun(present.key, present.label, nullptr);
    connect(s, &SocketRun::finished, this, [this, s] { board_finished(s); });
    auto* tile = new TileWidget(sockets_.size() + 1, s, grid_host_);
    connect(tile, &TileWidget::start_requested, this, &StationWindow::start_board);
    sockets_.append(s);
    tiles_.append(tile);
    by_key_.insert(present.key, s);
    // The grid keeps as square as the count allows: 16 sockets are 4 x 4.
    const int columns = qMax(1, int(std::ceil(std::sqrt(double(sockets_.size())))));
    for (int i = 0; i < tiles_.size(); ++i) {
        grid_->removeWidget(tiles_[i]);
        grid_->addWidget(tiles_[i], i / columns, i % columns);
    }
    return s;
}

void StationWindow::rescan_ports()
{
    if (!setup_ok_)
        return;
    QStringList devices;
    for (const PortMapEntry& e : port_map_->entries()) {
        if (!e.simulated)
            devices << e.device_name;
    }
    const QVector<PresentSocket> present = present_sockets(setup_, devices, published_port_entries(env_.publish_dir));
    QSet<SocketRun*> seen;
    for (const PresentSocket& p : present) {
        SocketRun* s = socket_for(p);
        seen.insert(s);
        if (s->device() == p.device)
            continue;
        if (!s->device().isEmpty())
            s->board_removed();
        s->board_arrived(p.device);
        // Boards there before the station looked wait for a click: nobody
        // said they were fresh.
        if (first_scan_done_ && !closing_)
            start_board(s);
    }
    for (SocketRun* s : sockets_) {
        if (!seen.contains(s) && !s->device().isEmpty())
            s->board_removed();
    }
    first_scan_done_ = true;
}

void StationWindow::start_board(SocketRun* socket)
{
    if (!setup_ok_ || closing_ || socket->running() || socket->device().isEmpty())
        return;
    // An image changed on disk shows its new CRC before the board takes it.
    refresh_images();
    // Each board takes the images as they were read for the header, so what
    // the operator sees is what it gets, and a file rewritten meanwhile never
    // reaches a board half way.
    StationSetup taken = setup_;
    for (StationAction& a : taken.actions) {
        const QString snapshot = images_seen_.value(a.file).snapshot;
        if (!snapshot.isEmpty())
            a.file = snapshot;
    }
    socket->start(env_.vqprog, station_child_arguments(taken, socket->device()), setup_.folder);
    update_gating();
}

void StationWindow::start_all()
{
    for (SocketRun* s : sockets_)
        start_board(s);
}

int StationWindow::running_boards() const
{
    int n = 0;
    for (const SocketRun* s : sockets_)
        n += s->running();
    return n;
}

void StationWindow::board_finished(SocketRun* socket)
{
    update_gating();
    if (closing_) {
        if (running_boards() == 0)
            QTimer::singleShot(0, this, &QWidget::close);
        return;
    }
    if (socket->take_returned_board())
        QTimer::singleShot(0, socket, [this, socket] { start_board(socket); });
    if (setup_.records.isEmpty()) {
        BoardOutcome b;
        b.station = station_name();
        b.time_utc = QDateTime::currentDateTimeUtc();
        b.ok = socket->state() == TileState::Pass;
        session_boards_.append(b);
        show_tally(tally_of(session_boards_, start_of_today(b.time_utc), b.time_utc));
        return;
    }
    refresh_records();
    // The serial number the board took is in its records.
    if (records_ && socket->state() == TileState::Pass) {
        RecordFilter filter;
        filter.station = station_name();
        filter.since = QDateTime::currentDateTimeUtc().addMSecs(-qint64(socket->seconds() * 1000) - 2000);
        QVector<BoardRecord> records;
        QString error;
        if (records_->list(filter, &records, &error)) {
            for (const BoardRecord& r : records) {
                if (r.port == socket->device() && r.serial >= 0)
                    socket->set_serial(r.serial);
            }
        }
    }
}

void StationWindow::update_gating()
{
    // The setup of a running board stays as it started.
    setup_button_->setEnabled(running_boards() == 0 && !closing_);
}

void StationWindow::refresh_images()
{
    QStringList lines;
    for (const QString& file : setup_.image_files()) {
        const QFileInfo info(file);
        ImageInfo& seen = images_seen_[file];
        if (seen.text.isEmpty() || seen.size != info.size() || seen.modified != info.lastModified()) {
            seen.size = info.size();
            seen.modified = info.lastModified();
            const WholeFileRead read = read_whole_file(file, kMaxImageFileBytes);
            seen.text = read.status == WholeFileStatus::Ok
                            ? QStringLiteral("%1  CRC %2, %3 bytes")
                                  .arg(info.fileName(), hex32_text(boot_crc32(read.bytes)))
                                  .arg(read.bytes.size())
                            : whole_file_problem(file, read, kMaxImageFileBytes);
            seen.snapshot = read.status == WholeFileStatus::Ok ? snapshot(info.fileName(), read.bytes) : QString();
        }
        lines << seen.text;
    }
    images_->setText(lines.isEmpty() ? QStringLiteral("no image") : lines.join(QLatin1Char('\n')));
}

// A copy under the file's own name (the board's records and its .bin or .diff
// rule go by the name), one folder per version read.
QString StationWindow::snapshot(const QString& name, const QByteArray& bytes)
{
    if (!snapshots_)
        snapshots_ = std::make_unique<QTemporaryDir>();
    const QString folder = snapshots_->filePath(QString::number(++snapshot_count_));
    QSaveFile out(folder + QLatin1Char('/') + name);
    if (!snapshots_->isValid() || !QDir().mkpath(folder) || !out.open(QIODevice::WriteOnly) ||
        out.write(bytes) != bytes.size() || !out.commit())
        return QString();
    return out.fileName();
}

void StationWindow::refresh_records()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (setup_.records.isEmpty()) {
        show_tally(tally_of(session_boards_, start_of_today(now), now));
        return;
    }
    QString error;
    // Read only: before the first board has written there may be nothing yet.
    if (!records_)
        records_ = RecordsDb::open(setup_.records, RecordsDb::Access::Read, &error);
    if (!records_) {
        show_tally(StationTally());
        return;
    }
    const QDateTime today = start_of_today(now);
    const QDateTime chart_start = now.addSecs(-qint64(kChartSlots + 1) * kChartSlotMinutes * 60);
    RecordFilter filter;
    filter.since = qMin(today, chart_start).addSecs(-3600);  // a board's first record may predate its end
    const bool line = setup_.records.startsWith(QLatin1String("postgres"));
    if (!line)
        filter.station = station_name();
    QVector<BoardRecord> records;
    if (!records_->list(filter, &records, &error)) {
        records_.reset();  // a lost server: opened again next time
        return;
    }
    const QVector<BoardOutcome> all = boards_of(records);
    QVector<BoardOutcome> mine;
    for (const BoardOutcome& b : all) {
        if (b.station == station_name())
            mine.append(b);
    }
    show_tally(tally_of(mine, today, now));
    // The slots end at the next half hour, so each covers :00 to :30 or :30 to :00.
    const qint64 slot_secs = kChartSlotMinutes * 60;
    const QDateTime chart_end = QDateTime::fromSecsSinceEpoch((now.toSecsSinceEpoch() / slot_secs + 1) * slot_secs, Qt::UTC);
    show_chart(slots_of(mine, chart_end, kChartSlots, kChartSlotMinutes));
    if (line)
        show_line(line_rows(all, today, now));
}

void StationWindow::show_tally(const StationTally& t)
{
    counters_->setText(QStringLiteral("Today: passed %1   failed %2   yield %3   boards per hour %4")
                           .arg(t.passed)
                           .arg(t.failed)
                           .arg(t.yield() < 0 ? QStringLiteral("-") : QStringLiteral("%1 %").arg(t.yield(), 0, 'f', 1))
                           .arg(t.last_hour));
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
    chart_y_->setRange(0, top);
    chart_y_->setTickCount(qMin(top, 4) + 1);
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
    if (running_boards() > 0)
        return;
    SetupDialog dialog(setup_, setup_file_.isEmpty() ? QDir::current().filePath(QStringLiteral("station.ini")) : setup_file_,
                       this);
    if (dialog.exec() != QDialog::Accepted || dialog.file().isEmpty())
        return;
    QString error;
    if (!save_station_setup(dialog.file(), dialog.setup(), &error)) {
        title_->setText(error);
        return;
    }
    open_setup(dialog.file());
}

void StationWindow::closeEvent(QCloseEvent* event)
{
    if (running_boards() == 0) {
        if (stopped_for_close_ > 0)
            std::fprintf(stderr, "vqstation: closed; %d running board(s) were stopped\n", stopped_for_close_);
        event->accept();
        return;
    }
    event->ignore();
    if (!closing_)
        stop_all_for_close();
}

// Every running board is stopped as a signal to the gang stops it: its
// operation ends, its port closes (lock file and all), its record says so.
void StationWindow::stop_all_for_close()
{
    closing_ = true;
    stopped_for_close_ = running_boards();
    title_->setText(QStringLiteral("Closing: stopping %1 running board(s)...").arg(stopped_for_close_));
    update_gating();
    start_all_->setEnabled(false);
    for (SocketRun* s : sockets_)
        s->stop(SIGTERM);
    QTimer::singleShot(kBoardStopGraceMs, this, [this] {
        for (SocketRun* s : sockets_)
            s->kill_now();
    });
}
