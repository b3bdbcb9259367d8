#include "station_window.h"

#include <QApplication>
#include <QCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>
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

#include "chart_axis.h"
#include "flashimage/flash_limits.h"
#include "presence_probe.h"
#include "platform/file_read.h"
#include "protocol/crc32.h"
#include "protocol/hex_text.h"
#include "production_options.h"
#include "records.h"
#include "serial/port_map.h"
#include "serial/port_url.h"
#include "serial/port_watcher.h"
#include "serial/rates.h"
#include "setup_dialog.h"
#include "socket_run.h"
#include "station_records.h"
#include "tile_widget.h"

using namespace QtCharts;

namespace {

constexpr int kTickMs = 250;              // elapsed times and progress on the tiles
constexpr int kRecordsRefreshMs = 4000;   // counters, chart and the line view: "every few seconds"
constexpr int kChartSlots = 16;           // eight hours...
constexpr int kChartSlotMinutes = 30;     // ...in half hours
constexpr int kLinkLookMs = 250;          // a named port's link looked for while it is missing
// A board whose image is being written waits for the writer this long, looking
// again at this pace, then fails with the reason.
constexpr int kImageSettleLimitMs = 10000;
constexpr int kImageRecheckMs = 250;
const char kFullText[] = "full_text";

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
        const QString device = socket_device(name);
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
    answer_presence_setup();
    watcher_ = new PortWatcher(port_map_.get(), this);
    connect(watcher_, &PortWatcher::arrived, this, &StationWindow::rescan_ports);
    connect(watcher_, &PortWatcher::removed, this, &StationWindow::rescan_ports);
    // A simulator publishes by writing its entry: looked at at once rather
    // than at the next poll, so its board starts well inside the second.
    prepare_publish_dir(env_.publish_dir);
    auto* published = new QFileSystemWatcher(this);
    published->addPath(env_.publish_dir);
    connect(published, &QFileSystemWatcher::directoryChanged, this, &StationWindow::rescan_ports);

    records_ = new StationRecords(this);
    connect(records_, &StationRecords::prepared, this, &StationWindow::records_prepared);
    connect(records_, &StationRecords::read_done, this, &StationWindow::records_read);

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
    presence_->forget_all();
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
    set_header_text(title_, QStringLiteral("No setup yet: Setup... makes one"));
    images_ = new QLabel(central);
    images_->setTextFormat(Qt::PlainText);
    // Long paths are elided to the room there is (the whole text in the
    // tooltip): a label never widens the window past the screen.
    for (QLabel* l : {title_, images_})
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    counters_ = new QLabel(central);
    QFont counters_font = counters_->font();
    counters_font.setPointSize(counters_font.pointSize() + 2);
    counters_->setFont(counters_font);
    left->addWidget(title_);
    left->addWidget(images_);
    records_label_ = new QLabel(central);
    records_label_->setTextFormat(Qt::PlainText);
    records_label_->setWordWrap(true);
    left->addWidget(counters_);
    left->addWidget(records_label_);
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
        set_header_text(title_, QStringLiteral("No setup: ") + error);
        setup_ok_ = false;
        return false;
    }
    setup_ = setup;
    setup_file_ = QFileInfo(file).absoluteFilePath();
    setup_ok_ = true;
    QSettings().setValue(QStringLiteral("last_setup"), setup_file_);
    images_seen_.clear();
    QString title = QStringLiteral("Station %1  (%2)").arg(station_name(), QFileInfo(file).fileName());
    const QStringList problems = station_setup_problems(setup_);
    if (!problems.isEmpty())
        title += QStringLiteral("  -  ") + problems.join(QStringLiteral("; "));
    set_header_text(title_, title);
    // The sockets are the new setup's: the named ones have their tiles from
    // the start, waiting; the others come as their ports do.
    presence_->forget_all();
    const int rate_index = setup_.baud > 0 ? baud_index_of(setup_.baud) : -1;
    presence_->set_rate_index(rate_index >= 0 ? rate_index : kDefaultRateIndex);
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
    waiting_for_records_.clear();
    serial_lookups_.clear();
    records_were_ready_ = false;
    records_state_ = setup_.records.isEmpty() ? RecordsState::None : RecordsState::Preparing;
    records_label_->setStyleSheet(QString());
    RecordsTarget target;
    QString unparsed;
    records_label_->setText(setup_.records.isEmpty() ? QString()
                            : QStringLiteral("Records: opening %1...")
                                  .arg(parse_records_target(setup_.records, &target, &unparsed) ? target.display
                                                                                                : setup_.records));
    if (!setup_.records.isEmpty())
        prepare_records();
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
    connect(tile, &TileWidget::log_requested, this, [s] {
        if (!s->log_file().isEmpty())
            QDesktopServices::openUrl(QUrl::fromLocalFile(s->log_file()));
    });
    lay_out_tiles();
    return s;
}

void StationWindow::lay_out_tiles()
{
    // The grid keeps as square as the count allows: 16 sockets are 4 x 4.
    const int columns = qMax(1, int(std::ceil(std::sqrt(double(sockets_.size())))));
    for (int i = 0; i < tiles_.size(); ++i) {
        grid_->removeWidget(tiles_[i]);
        grid_->addWidget(tiles_[i], i / columns, i % columns);
        tiles_[i]->set_number(i + 1);
    }
}

// A simulated socket lives as long as its simulator: once it is gone and its
// tile has no result to show, the tile goes too.
void StationWindow::drop_socket(SocketRun* socket)
{
    const int at = sockets_.indexOf(socket);
    if (at < 0 || socket->running())
        return;
    TileWidget* tile = tiles_.takeAt(at);
    sockets_.removeAt(at);
    by_key_.remove(socket->key());
    held_since_.remove(socket);
    waiting_for_records_.remove(socket);
    presence_->forget(socket);
    grid_->removeWidget(tile);
    tile->hide();
    tile->deleteLater();
    socket->deleteLater();
    lay_out_tiles();
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
        if (socket_presence_by_answer(setup_, p.key)) {
            follow_answer_socket(s, p.device);
            continue;
        }
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
    for (SocketRun* s : QVector<SocketRun*>(sockets_)) {
        if (seen.contains(s))
            continue;
        if (presence_->watching(s))
            follow_answer_socket(s, QString());
        else if (!s->device().isEmpty())
            s->board_removed();
        if (s->key().startsWith(QLatin1String("sim:")) && !s->running() &&
            s->state() == TileState::Waiting)
            drop_socket(s);
    }
    first_scan_done_ = true;
    links_seen_ = named_port_targets();
    if (links_seen_.contains(QString()))
        links_timer_->start();
    else
        links_timer_->stop();
}

void StationWindow::answer_presence_setup()
{
    presence_ = new AnswerPresence(this);
    connect(presence_, &AnswerPresence::answered, this, [this](SocketRun* s, const QString& port, bool initial) {
        if (closing_ || s->running())
            return;
        s->board_arrived(port);
        // Answering at the station's first look is being there before it
        // looked: that board waits for its click.
        if (!initial)
            start_board(s);
    });
    connect(presence_, &AnswerPresence::went_silent, this, [](SocketRun* s) {
        if (!s->running() && !s->device().isEmpty())
            s->board_removed();
    });
    connect(presence_, &AnswerPresence::start_ready, this, &StationWindow::start_board);
    // udev may make a by-path link after the port list has shown its tty,
    // and nothing is announced when it does.
    links_timer_ = new QTimer(this);
    links_timer_->setInterval(kLinkLookMs);
    connect(links_timer_, &QTimer::timeout, this, [this] {
        if (named_port_targets() != links_seen_)
            rescan_ports();
    });
}

// An answer socket's board is on the port it answered on: on another port,
// or none, it has gone.
void StationWindow::follow_answer_socket(SocketRun* socket, const QString& port)
{
    if (!socket->device().isEmpty() && socket->device() != port)
        socket->board_removed();
    if (!closing_)
        presence_->watch(socket, port, !first_scan_done_);
}

// Where each named port leads now; empty for one that is missing. A URL is
// no file and leads to itself.
QStringList StationWindow::named_port_targets() const
{
    QStringList out;
    for (const QString& name : setup_.ports) {
        const QFileInfo info(name);
        out << (is_remote_port(name) ? name : info.exists() ? info.canonicalFilePath() : QString());
    }
    return out;
}

void StationWindow::start_board(SocketRun* socket)
{
    if (!setup_ok_ || closing_ || socket->running() || socket->device().isEmpty()) {
        held_since_.remove(socket);
        return;
    }
    if (records_state_ == RecordsState::Preparing) {
        waiting_for_records_.insert(socket);
        return;
    }
    // The port is being asked whether its board answers: started once it is free.
    if (presence_->hold_start(socket))
        return;
    // An image changed on disk shows its new CRC before the board takes it.
    refresh_images();
    // An image being written is waited for, never taken half way: the board
    // is looked at again shortly, and fails with the reason if the writer
    // does not finish in time.
    const QStringList unsettled = unsettled_images();
    if (!unsettled.isEmpty()) {
        if (!held_since_.contains(socket))
            held_since_[socket].start();
        if (held_since_[socket].elapsed() >= kImageSettleLimitMs) {
            held_since_.remove(socket);
            socket->refuse(QStringLiteral("%1 kept changing for %2 s: not taken")
                               .arg(unsettled.join(QStringLiteral(", ")))
                               .arg(kImageSettleLimitMs / 1000));
            return;
        }
        socket->hold(QStringLiteral("waiting for %1 to be written").arg(unsettled.join(QStringLiteral(", "))));
        QTimer::singleShot(kImageRecheckMs, socket, [this, socket] { start_board(socket); });
        return;
    }
    held_since_.remove(socket);
    // Each board takes the images as they were read for the header, so what
    // the operator sees is what it gets. Its reasons name the operator's
    // files, not the copies.
    StationSetup taken = setup_;
    QHash<QString, QString> shown_names;
    for (StationAction& a : taken.actions) {
        const QString snapshot = images_seen_.value(a.file).snapshot;
        if (!snapshot.isEmpty()) {
            shown_names.insert(snapshot, a.file);
            a.file = snapshot;
        }
    }
    Options board = station_board_options(taken);
    board.log_file = board_log_file(socket);
    socket->set_log_file(board.log_file);
    ChildStart child;
    child.program = env_.vqprog;
    child.args = child_arguments(board, socket->device());
    // The station opens (and creates) the records once; its boards only open
    // what is there, so a target removed under them fails the board rather
    // than start an empty one that hands out the same numbers again.
    child.env.insert(QLatin1String(kRecordsOpenedEnv), QStringLiteral("1"));
    socket->set_shown_names(shown_names);
    child.folder = setup_.folder;
    child.records = setup_.records;
    child.station = setup_.name;
    socket->start(child);
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
    // The board's log ends with what its tile says: also a refusal vqprog
    // made before it had a log, and a board that was killed.
    QFile log(socket->log_file());
    if (!socket->log_file().isEmpty() && log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        log.write(QStringLiteral("%1 %2 vqstation: %3%4\n")
                      .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")),
                           socket->device(),
                           socket->state() == TileState::Fail ? QStringLiteral("FAIL") : QStringLiteral("PASS"),
                           socket->detail().isEmpty() ? QString() : QStringLiteral(": ") + socket->detail())
                      .toUtf8());
    }
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
    // The serial number the board took is in its records: the next read brings it.
    if (socket->state() == TileState::Pass)
        serial_lookups_.append({socket, socket->device(),
                                QDateTime::currentDateTimeUtc().addMSecs(-qint64(socket->seconds() * 1000) - 2000)});
    refresh_records();
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
        const FileState before = FileState::of(file);
        const bool changed = seen.state != before || !seen.state_seen.isValid();
        if (changed) {
            seen.state = before;
            seen.state_seen.start();
        }
        if (seen.text.isEmpty() || seen.settling || changed) {
            const WholeFileRead read = read_whole_file(file, kMaxImageFileBytes);
            const bool ok = read.status == WholeFileStatus::Ok;
            // Only a file that did not change around the read is a snapshot.
            seen.settling = ok && !copy_is_whole(before, FileState::of(file), QDateTime::currentDateTime(),
                                                 seen.state_seen.elapsed());
            seen.text = seen.settling ? QStringLiteral("%1  being written: waiting for it").arg(info.fileName())
                        : ok          ? QStringLiteral("%1  CRC %2, %3 bytes")
                                   .arg(info.fileName(), hex32_text(boot_crc32(read.bytes)))
                                   .arg(read.bytes.size())
                                      : whole_file_problem(file, read, kMaxImageFileBytes);
            seen.snapshot = ok && !seen.settling ? snapshot(info.fileName(), read.bytes) : QString();
        }
        lines << seen.text;
    }
    set_header_text(images_, lines.isEmpty() ? QStringLiteral("no image") : lines.join(QLatin1Char('\n')));
}

QStringList StationWindow::unsettled_images() const
{
    QStringList out;
    for (const QString& file : setup_.image_files()) {
        if (images_seen_.value(file).settling)
            out << QFileInfo(file).fileName();
    }
    return out;
}

// One log per board run, under the station's data folder, named by the
// time it started and its socket: what an operator opens from a tile.
QString StationWindow::board_log_file(const SocketRun* socket) const
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
                           QStringLiteral("/boards/") + QDate::currentDate().toString(Qt::ISODate);
    if (!QDir().mkpath(folder))
        return QString();
    const QString name = QStringLiteral("%1-socket%2.log")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("HHmmss.zzz")))
                             .arg(sockets_.indexOf(const_cast<SocketRun*>(socket)) + 1);
    return folder + QLatin1Char('/') + name;
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
    // The labels have their new width only once the layout has run.
    QTimer::singleShot(0, this, &StationWindow::elide_header);
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
    if (records_state_ == RecordsState::Preparing)
        return;
    if (!records_were_ready_) {
        // Not there at the start (a server down, a folder not yet mounted): tried again.
        prepare_records();
        return;
    }
    const QDateTime today = start_of_today(now);
    const QDateTime chart_start = now.addSecs(-qint64(kChartSlots + 1) * kChartSlotMinutes * 60);
    RecordFilter filter;
    filter.since = qMin(today, chart_start).addSecs(-3600);  // a board's first record may predate its end
    if (!setup_.records.startsWith(QLatin1String("postgres")))
        filter.station = station_name();
    records_->read(filter);
}

void StationWindow::prepare_records()
{
    records_state_ = RecordsState::Preparing;
    ++prepares_pending_;
    records_->prepare(setup_.records, setup_.serial_counter, setup_.serial_start);
}

void StationWindow::records_prepared(bool ok, const QString& error)
{
    // Only the last setup's answer counts.
    if (--prepares_pending_ > 0 || setup_.records.isEmpty())
        return;
    records_state_ = ok ? RecordsState::Ready : RecordsState::Unusable;
    records_were_ready_ = records_were_ready_ || ok;
    if (ok) {
        records_label_->setStyleSheet(QString());
        records_label_->setText(QString());
    } else {
        show_records_problem(error);
    }
    // Boards that came meanwhile run now; without usable records each fails
    // with its own vqprog's reason.
    const QSet<SocketRun*> waiting = waiting_for_records_;
    waiting_for_records_.clear();
    for (SocketRun* s : sockets_) {
        if (waiting.contains(s))
            start_board(s);
    }
    if (ok)
        refresh_records();
}

void StationWindow::show_records_problem(const QString& error)
{
    records_label_->setStyleSheet(QStringLiteral("color: #c01c28; font-weight: bold"));
    records_label_->setText(QStringLiteral("Records cannot be used: ") + error);
}

void StationWindow::records_read(bool ok, const QVector<BoardRecord>& records, const QString& error)
{
    // Reads go out only once the target is ready: one that answers while a
    // new setup's target is being prepared is the old setup's.
    if (setup_.records.isEmpty() || closing_ || records_state_ == RecordsState::Preparing)
        return;
    if (!ok) {
        records_state_ = RecordsState::Unusable;
        show_records_problem(error);
        counters_->setText(QStringLiteral("Today: no counters while the records cannot be read"));
        return;
    }
    records_state_ = RecordsState::Ready;
    records_label_->setStyleSheet(QString());
    records_label_->setText(QString());
    for (int i = serial_lookups_.size() - 1; i >= 0; --i) {
        SerialLookup& l = serial_lookups_[i];
        bool found = false;
        for (const BoardRecord& r : records) {
            if (l.socket && r.port == l.port && r.serial >= 0 && r.time_utc >= l.since && r.station == station_name()) {
                l.socket->set_serial(r.serial);
                found = true;
            }
        }
        if (found || !l.socket || ++l.reads >= 2)
            serial_lookups_.removeAt(i);
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime today = start_of_today(now);
    // This station's boards whose child runs now have not ended yet; any
    // other without its end record has: its vqprog was killed.
    QSet<QString> running_ports;
    for (const SocketRun* s : sockets_) {
        if (s->running())
            running_ports.insert(s->device());
    }
    const QString me = station_name();
    const QVector<BoardOutcome> all = boards_of(records, [&](const BoardOutcome& b) {
        return b.station != me || running_ports.contains(b.port);
    });
    QVector<BoardOutcome> mine;
    for (const BoardOutcome& b : all) {
        if (b.station == me)
            mine.append(b);
    }
    show_tally(tally_of(mine, today, now));
    // The slots end at the next half hour, so each covers :00 to :30 or :30 to :00.
    const qint64 slot_secs = kChartSlotMinutes * 60;
    const QDateTime chart_end = QDateTime::fromSecsSinceEpoch((now.toSecsSinceEpoch() / slot_secs + 1) * slot_secs, Qt::UTC);
    show_chart(slots_of(mine, chart_end, kChartSlots, kChartSlotMinutes));
    if (setup_.records.startsWith(QLatin1String("postgres")))
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
    if (running_boards() > 0)
        return;
    SetupDialog dialog(setup_, setup_file_.isEmpty() ? QDir::current().filePath(QStringLiteral("station.ini")) : setup_file_,
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
    if (running_boards() == 0) {
        int killed = 0;
        for (const SocketRun* s : sockets_)
            killed += s->exit_code() == kExitKilled;
        if (stopped_for_close_ > 0 && killed == 0)
            std::fprintf(stderr, "vqstation: closed; %d running board(s) were stopped\n", stopped_for_close_);
        else if (stopped_for_close_ > 0)
            std::fprintf(stderr, "vqstation: closed; %d running board(s) were stopped, %d of them killed\n",
                         stopped_for_close_, killed);
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
    presence_->forget_all();
    stopped_for_close_ = running_boards();
    set_header_text(title_, QStringLiteral("Closing: stopping %1 running board(s)...").arg(stopped_for_close_));
    update_gating();
    start_all_->setEnabled(false);
    for (SocketRun* s : sockets_)
        s->stop(SIGTERM);
}
