#include "station_controller.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHostInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QThreadPool>
#include <QTimer>
#include <csignal>

#include "image_store.h"
#include "port_identity.h"
#include "presence_polls.h"
#include "production_options.h"
#include "records.h"
#include "serial/port_map.h"
#include "serial/port_url.h"
#include "serial/port_watcher.h"
#include "serial/rates.h"
#include "socket_run.h"

namespace {

constexpr int kLinkLookMs = 250;  // a named port's link looked for while it is missing
constexpr int kImageRecheckMs = 250;  // a board waiting for an image's writer looks again this often
constexpr int kRecordsRefreshMs = 4000;  // counters, chart and the line view: "every few seconds"
// Host names that have not resolved by then are compared by their text.
constexpr int kResolveLimitMs = 3000;

bool is_usb_serial_adapter(const QString& device)
{
    return device.startsWith(QLatin1String("/dev/ttyUSB")) || device.startsWith(QLatin1String("/dev/ttyACM"));
}

QString short_name(const QString& name)
{
    // A remote port is its host and TCP port: the scheme and the query (a
    // certificate file) say how it is reached, not which one it is.
    const PortUrl url = parse_port_url(name);
    if (url.scheme != PortUrl::Local && url.problem.isEmpty())
        return QString::fromLatin1(url.host.contains(QLatin1Char(':')) ? "[%1]:%2" : "%1:%2")
            .arg(url.host, QString::number(url.port));
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

StationController::StationController(const StationEnvironment& env, QObject* parent)
    : QObject(parent), env_(env), port_map_(std::make_unique<SystemPortMap>(env.publish_dir))
{
    clock_.start();
    presence_ = new PresencePolls(this);
    connect(presence_, &PresencePolls::step, this, &StationController::presence_step);
    connect(presence_, &PresencePolls::poll_done, this, [this](SocketRun* s) {
        if (pending_.contains(s))
            try_start(s);
    });
    images_ = new ImageStore(this);
    connect(images_, &ImageStore::changed, this, [this] {
        emit images_changed(images_text());
        pump_starts();
    });
    image_recheck_ = new QTimer(this);
    image_recheck_->setInterval(kImageRecheckMs);
    connect(image_recheck_, &QTimer::timeout, this, [this] {
        const quint64 look = images_->look();
        for (PendingStart& p : pending_) {
            if (p.clock.since_ms >= 0)
                p.look = look;
        }
    });
    // udev may make a by-path link after the port list has shown its tty,
    // and nothing is announced when it does.
    links_timer_ = new QTimer(this);
    links_timer_->setInterval(kLinkLookMs);
    connect(links_timer_, &QTimer::timeout, this, [this] {
        if (named_port_targets() != links_seen_)
            rescan_ports();
    });
    resolve_limit_ = new QTimer(this);
    resolve_limit_->setSingleShot(true);
    connect(resolve_limit_, &QTimer::timeout, this, [this] { remote_ports_checked(setup_number_); });

    watcher_ = new PortWatcher(port_map_.get(), this);
    connect(watcher_, &PortWatcher::arrived, this, &StationController::rescan_ports);
    connect(watcher_, &PortWatcher::removed, this, &StationController::rescan_ports);
    // A simulator publishes by writing its entry: looked at at once rather
    // than at the next poll, so its board starts well inside the second.
    prepare_publish_dir(env_.publish_dir);
    auto* published = new QFileSystemWatcher(this);
    published->addPath(env_.publish_dir);
    connect(published, &QFileSystemWatcher::directoryChanged, this, &StationController::rescan_ports);

    records_ = new StationRecords(this);
    connect(records_, &StationRecords::prepared, this, &StationController::records_prepared);
    connect(records_, &StationRecords::read_done, this, &StationController::records_read);
    records_timer_ = new QTimer(this);
    connect(records_timer_, &QTimer::timeout, this, &StationController::refresh_records);
    records_timer_->start(kRecordsRefreshMs);
}

StationController::~StationController()
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

bool StationController::work_left_running()
{
    return PresencePolls::polls_left_running() || ImageStore::looks_left_running();
}

QString StationController::station_name() const
{
    return setup_.name.isEmpty() ? RecordsDb::default_station() : setup_.name;
}

QString StationController::images_text() const
{
    return images_->header_text();
}

bool StationController::open_setup(const QString& file, QString* error)
{
    if (running_boards() > 0) {
        *error = QStringLiteral("a board runs: the setup stays until it has ended");
        return false;
    }
    StationSetup setup;
    if (!load_station_setup(file, &setup, error)) {
        setup_ok_ = false;
        return false;
    }
    setup_ = setup;
    setup_file_ = QFileInfo(file).absoluteFilePath();
    setup_ok_ = true;
    ++setup_number_;
    QSettings().setValue(QStringLiteral("last_setup"), setup_file_);
    QString title = QStringLiteral("Station %1  (%2)").arg(station_name(), QFileInfo(file).fileName());
    const QStringList problems = station_setup_problems(setup_);
    if (!problems.isEmpty())
        title += QStringLiteral("  -  ") + problems.join(QStringLiteral("; "));
    emit title_changed(title);
    // The sockets are the new setup's: the named ones have their tiles from
    // the start, waiting; the others come as their ports do. The old ones'
    // polls end on their own, their answers dropped.
    clear_sockets();
    const int rate_index = setup_.baud > 0 ? baud_index_of(setup_.baud) : -1;
    presence_->set_rate(rate_index >= 0 ? rate_index : kDefaultRateIndex, PresenceAsk().max_wait_ms);
    for (const QString& name : setup_.ports)
        socket_for({name, short_name(name), QString()});
    serial_lookups_.clear();
    records_gate_.new_setup();
    RecordsTarget target;
    QString unparsed;
    emit records_text_changed(setup_.records.isEmpty() ? QString()
                              : QStringLiteral("Records: opening %1...")
                                    .arg(parse_records_target(setup_.records, &target, &unparsed) ? target.display
                                                                                                  : setup_.records),
                              false);
    if (!setup_.records.isEmpty())
        prepare_records();
    images_->set_files(setup_.image_files());
    images_->look();
    emit images_changed(images_text());
    check_remote_ports();
    first_scan_done_ = false;
    rescan_ports();
    refresh_records();
    emit gating_changed();
    return true;
}

void StationController::refuse_setup(const QString& reason)
{
    setup_ok_ = false;
    clear_sockets();
    setup_.ports.clear();
    emit title_changed(QStringLiteral("No setup: ") + reason);
    emit gating_changed();
}

// Names of one port in other spellings than the setup could see (a host
// name and its address): found once the names have resolved, off this thread.
void StationController::check_remote_ports()
{
    addresses_.clear();
    hosts_left_ = hosts_to_resolve(setup_.ports);
    ports_checked_ = hosts_left_.isEmpty();
    remote_first_look_ = !ports_checked_;
    resolve_limit_->stop();
    if (ports_checked_)
        return;
    const quint64 setup = setup_number_;
    for (const QString& host : QStringList(hosts_left_)) {
        QHostInfo::lookupHost(host, this, [this, setup, host](const QHostInfo& info) {
            QStringList addresses;
            for (const QHostAddress& a : info.addresses())
                addresses << a.toString();
            host_resolved(setup, host, addresses);
        });
    }
    resolve_limit_->start(kResolveLimitMs);
}

void StationController::host_resolved(quint64 setup, const QString& host, const QStringList& addresses)
{
    if (setup != setup_number_ || ports_checked_)
        return;
    addresses_.insert(host, addresses);
    hosts_left_.removeAll(host);
    if (hosts_left_.isEmpty())
        remote_ports_checked(setup);
}

void StationController::remote_ports_checked(quint64 setup)
{
    if (setup != setup_number_ || ports_checked_ || !setup_ok_)
        return;
    resolve_limit_->stop();
    ports_checked_ = true;
    const QString problem = same_port_problem(setup_.ports, addresses_);
    if (!problem.isEmpty()) {
        refuse_setup(QStringLiteral("%1: [sockets] ports: %2").arg(setup_file_, problem));
        return;
    }
    rescan_ports();
    remote_first_look_ = false;
    pump_starts();
}

SocketRun* StationController::socket_for(const PresentSocket& present)
{
    if (SocketRun* s = by_key_.value(present.key))
        return s;
    auto* s = new SocketRun(present.key, present.label, nullptr);
    connect(s, &SocketRun::finished, this, [this, s] { board_finished(s); });
    sockets_.append(s);
    by_key_.insert(present.key, s);
    emit sockets_changed();
    return s;
}

void StationController::clear_sockets()
{
    presence_->forget_all();
    pending_.clear();
    const QVector<SocketRun*> old = sockets_;
    sockets_.clear();
    by_key_.clear();
    emit sockets_changed();  // the tiles go before their sockets
    qDeleteAll(old);
}

// A simulated socket lives as long as its simulator: once it is gone and its
// tile has no result to show, the tile goes too.
void StationController::drop_socket(SocketRun* socket)
{
    const int at = sockets_.indexOf(socket);
    if (at < 0 || socket->running())
        return;
    sockets_.removeAt(at);
    by_key_.remove(socket->key());
    pending_.remove(socket);
    presence_->forget(socket);
    emit sockets_changed();
    socket->deleteLater();
}

void StationController::rescan_ports()
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
            // A remote port is not asked before the setup's ports are known to be distinct.
            const bool remote = is_remote_port(p.device);
            if (ports_checked_ || !remote)
                follow_answer_socket(s, p.device, !first_scan_done_ || (remote && remote_first_look_));
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
            request_start(s);
    }
    for (SocketRun* s : QVector<SocketRun*>(sockets_)) {
        if (seen.contains(s))
            continue;
        if (presence_->watching(s))
            follow_answer_socket(s, QString(), false);
        else if (!s->device().isEmpty())
            s->board_removed();
        if (s->key().startsWith(QLatin1String("sim:")) && !s->running() && s->state() == TileState::Waiting)
            drop_socket(s);
    }
    first_scan_done_ = true;
    links_seen_ = named_port_targets();
    if (links_seen_.contains(QString()))
        links_timer_->start();
    else
        links_timer_->stop();
}

void StationController::presence_step(SocketRun* s, PresenceStep step, const QString& port)
{
    if (closing_ || s->running())
        return;
    switch (step) {
    case PresenceStep::Start:
        s->board_arrived(port);
        request_start(s);
        break;
    case PresenceStep::Ready:  // answering at the station's first look: it waits for its click
        s->board_arrived(port);
        break;
    case PresenceStep::Gone:
        pending_.remove(s);
        if (!s->device().isEmpty())
            s->board_removed();
        break;
    case PresenceStep::Wait:
        break;
    }
}

// An answer socket's board is on the port it answered on: on another port,
// or none, it has gone.
void StationController::follow_answer_socket(SocketRun* socket, const QString& port, bool first_look)
{
    if (!socket->device().isEmpty() && socket->device() != port)
        socket->board_removed();
    if (!closing_)
        presence_->watch(socket, port, first_look);
}

// Where each named port leads now; empty for one that is missing. A URL is
// no file and leads to itself.
QStringList StationController::named_port_targets() const
{
    QStringList out;
    for (const QString& name : setup_.ports) {
        const QFileInfo info(name);
        out << (is_remote_port(name) ? name : info.exists() ? info.canonicalFilePath() : QString());
    }
    return out;
}

void StationController::request_start(SocketRun* socket)
{
    if (!setup_ok_ || closing_ || socket->running() || socket->device().isEmpty())
        return;
    // One start at a time a socket: asked again meanwhile, it is the same start.
    if (!pending_.contains(socket))
        pending_[socket].look = images_->look();  // an image changed on disk is read again first
    try_start(socket);
}

void StationController::start_all()
{
    for (SocketRun* s : sockets_)
        request_start(s);
}

void StationController::pump_starts()
{
    for (SocketRun* s : QVector<SocketRun*>(sockets_)) {
        if (pending_.contains(s))
            try_start(s);
    }
    // An image still being written is looked at again until it is done,
    // so that the header follows it whether or not a board waits.
    bool image_wait = !images_->unsettled().isEmpty();
    for (const PendingStart& p : qAsConst(pending_))
        image_wait = image_wait || p.clock.since_ms >= 0;
    if (image_wait && !image_recheck_->isActive())
        image_recheck_->start();
    else if (!image_wait)
        image_recheck_->stop();
}

// What a board's start waits for, each in turn; the start happens on the
// event that clears the last of them (pump_starts).
void StationController::try_start(SocketRun* socket)
{
    if (!setup_ok_ || closing_ || socket->running() || socket->device().isEmpty()) {
        pending_.remove(socket);
        return;
    }
    if (records_gate_.boards_wait() || !ports_checked_ || presence_->asking(socket))
        return;
    PendingStart& p = pending_[socket];
    if (images_->looked() < p.look)
        return;
    // An image being written is waited for, never taken half way; the
    // board fails with the reason if its writer does not finish in time.
    const QStringList unsettled = images_->unsettled();
    switch (p.clock.look(clock_.elapsed(), unsettled.isEmpty())) {
    case ImageWaitClock::Wait:
        socket->hold(QStringLiteral("waiting for %1 to be written").arg(unsettled.join(QStringLiteral(", "))));
        if (!image_recheck_->isActive())
            image_recheck_->start();
        return;
    case ImageWaitClock::GiveUp:
        pending_.remove(socket);
        // One arg() for both: a file name's own "%2" is no place marker.
        socket->refuse(QStringLiteral("%1 kept changing for %2 s: not taken")
                           .arg(unsettled.join(QStringLiteral(", ")), QString::number(kImageSettleLimitMs / 1000)));
        return;
    case ImageWaitClock::Take:
        pending_.remove(socket);
        // Without its copy a board would read the operator's file itself,
        // which a writer may have opened again since it was read.
        if (!images_->refusal().isEmpty())
            socket->refuse(images_->refusal());
        else
            launch(socket);
        return;
    }
}

void StationController::launch(SocketRun* socket)
{
    // Each board takes the images as they were read for the header, so what
    // the operator sees is what it gets. Its reasons name the operator's
    // files, not the copies.
    StationSetup taken = setup_;
    QHash<QString, QString> shown_names;
    for (StationAction& a : taken.actions) {
        const QString snapshot = images_->seen(a.file).snapshot;
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
    emit gating_changed();
}

int StationController::running_boards() const
{
    int n = 0;
    for (const SocketRun* s : sockets_)
        n += s->running();
    return n;
}

void StationController::board_finished(SocketRun* socket)
{
    emit gating_changed();
    // The board's log ends with what its tile says: also a refusal vqprog
    // made before it had a log, and a board that was killed.
    if (!socket->log_file().isEmpty()) {
        const QString file = socket->log_file();
        const QByteArray line = QStringLiteral("%1 %2 vqstation: %3%4\n")
                                    .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")),
                                         socket->device(),
                                         socket->state() == TileState::Fail ? QStringLiteral("FAIL") : QStringLiteral("PASS"),
                                         socket->detail().isEmpty() ? QString() : QStringLiteral(": ") + socket->detail())
                                    .toUtf8();
        QThreadPool::globalInstance()->start([file, line] {
            QFile log(file);
            if (log.open(QIODevice::WriteOnly | QIODevice::Append))
                log.write(line);
        });
    }
    if (closing_) {
        if (running_boards() == 0)
            emit all_stopped();
        return;
    }
    if (socket->take_returned_board())
        QTimer::singleShot(0, socket, [this, socket] { request_start(socket); });
    board_counted(socket);
}

// One log per board run, under the station's data folder, named by the
// time it started and its socket: what an operator opens from a tile.
QString StationController::board_log_file(const SocketRun* socket) const
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

// Every running board is stopped as a signal to the gang stops it: its
// operation ends, its port closes (lock file and all), its record says so.
bool StationController::close_down()
{
    if (!closing_) {
        closing_ = true;
        presence_->forget_all();
        pending_.clear();
        stopped_for_close_ = running_boards();
        if (stopped_for_close_ > 0)
            emit title_changed(QStringLiteral("Closing: stopping %1 running board(s)...").arg(stopped_for_close_));
        emit gating_changed();
        for (SocketRun* s : sockets_)
            s->stop(SIGTERM);
    }
    return running_boards() == 0;
}

QString StationController::close_report() const
{
    int killed = 0;
    for (const SocketRun* s : sockets_)
        killed += s->exit_code() == kExitKilled;
    if (stopped_for_close_ == 0)
        return QString();
    if (killed == 0)
        return QStringLiteral("vqstation: closed; %1 running board(s) were stopped").arg(stopped_for_close_);
    return QStringLiteral("vqstation: closed; %1 running board(s) were stopped, %2 of them killed")
        .arg(stopped_for_close_)
        .arg(killed);
}
