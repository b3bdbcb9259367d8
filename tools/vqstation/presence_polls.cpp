#include "presence_polls.h"

#include <QMutex>
#include <QThreadPool>
#include <QTimer>
#include <QVector>

#include "protocol/frame.h"
#include "serial/port_url.h"
#include "serial/rates.h"
#include "socket_run.h"

namespace {

constexpr int kBitsPerByte = 10;  // 8N1
// A forgotten poll's last moments, waited for when the polls' owner goes
// before the pool is left to end on its own.
constexpr int kLastPollsWaitMs = 50;

std::atomic<bool> left_running{false};
// Pools left to their last polls, kept within reach until the process ends.
QVector<QThreadPool*>& left_pools()
{
    static QVector<QThreadPool*> pools;
    return pools;
}
quint64 next_number = 0;

}  // namespace

int presence_wait_ms(int baud)
{
    const int line_ms = (2 * kReplyLen * kBitsPerByte * 1000 + baud - 1) / qMax(1, baud);
    return kPresenceWaitMs + line_ms;
}

// Where a poll's answer goes: the polls' owner while it lives, nowhere after.
struct PresencePolls::Mailbox {
    QMutex lock;
    PresencePolls* to = nullptr;
};

struct PresencePolls::Watch {
    QString port;
    QTimer* timer = nullptr;
    quint64 id = 0;          // this watch's, never another's: answers may outlive a setup
    quint64 generation = 0;  // of the port now: an answer about an earlier port is dropped
    std::shared_ptr<std::atomic<bool>> stop;  // the poll under way, if any
    bool first_look = false;
    PresenceTrack track;
};

PresencePolls::PresencePolls(QObject* parent)
    : QObject(parent), pool_(new QThreadPool), mailbox_(std::make_shared<Mailbox>()), rate_index_(kDefaultRateIndex)
{
    mailbox_->to = this;
    pool_->setExpiryTimeout(10000);
}

PresencePolls::~PresencePolls()
{
    {
        QMutexLocker hold(&mailbox_->lock);
        mailbox_->to = nullptr;
    }
    forget_all();
    // A poll ends within moments of its stop; one that does not (a host that
    // does not answer a connect) is left to end with the process.
    if (pool_->waitForDone(kLastPollsWaitMs)) {
        delete pool_;
    } else {
        left_running = true;
        left_pools().append(pool_);
    }
}

bool PresencePolls::polls_left_running()
{
    return left_running;
}

void PresencePolls::set_rate(int rate_index, int max_wait_ms)
{
    rate_index_ = rate_index;
    max_wait_ms_ = max_wait_ms;
}

void PresencePolls::watch(SocketRun* socket, const QString& port, bool first_look)
{
    Watch*& w = watches_[socket];
    if (!w) {
        w = new Watch;
        w->id = ++next_number;
        w->first_look = first_look;
        w->timer = new QTimer(this);
        w->timer->setSingleShot(true);
        connect(w->timer, &QTimer::timeout, this, [this, socket] { ask(socket); });
        // Stopped polls may still hold threads a while: room for the new ones beside them.
        pool_->setMaxThreadCount(qMax(pool_->maxThreadCount(), 2 * watches_.size() + 4));
    }
    if (w->port == port)
        return;
    w->port = port;
    w->generation = ++next_number;
    w->track = PresenceTrack();
    w->track.initial = w->first_look;
    if (port.isEmpty())
        w->timer->stop();
    else if (!w->stop)
        w->timer->start(0);
}

bool PresencePolls::asking(SocketRun* socket) const
{
    const Watch* w = watches_.value(socket);
    return w && w->stop;
}

void PresencePolls::ask(SocketRun* socket)
{
    Watch* w = watches_.value(socket);
    if (!w || w->port.isEmpty() || w->stop)
        return;
    // Its board's child has the port; asked again once it has ended.
    if (socket->running()) {
        w->timer->start(kPresencePeriodMs);
        return;
    }
    ++asked_;
    PresenceAsk ask;
    ask.port = w->port;
    ask.rate_index = rate_index_;
    ask.max_wait_ms = max_wait_ms_;
    ask.reply_wait_ms = presence_reply_wait(w->track, presence_wait_ms(baud_rate_for_index(rate_index_)), max_wait_ms_);
    w->stop = std::make_shared<std::atomic<bool>>(false);
    const auto stop = w->stop;
    const auto mailbox = mailbox_;
    const quint64 id = w->id, generation = w->generation;
    pool_->start([ask, stop, mailbox, socket, id, generation] {
        const PresenceAnswer answer = ask_presence(ask, *stop);
        QMutexLocker hold(&mailbox->lock);
        if (PresencePolls* to = mailbox->to) {
            const int wait_ms = ask.reply_wait_ms;
            QMetaObject::invokeMethod(
                to, [to, socket, id, generation, answer, wait_ms] { to->took(socket, id, generation, answer, wait_ms); },
                Qt::QueuedConnection);
        }
    });
}

void PresencePolls::took(SocketRun* socket, quint64 id, quint64 generation, const PresenceAnswer& answer, int wait_ms)
{
    port_time_ms_ += answer.held_ms;
    Watch* w = watches_.value(socket);
    if (!w || w->id != id)
        return;  // an answer about a socket of an earlier setup
    w->stop.reset();
    if (generation == w->generation) {
        int round_trip = answer.round_trip_ms;
        // A poll without a measure of its own: a silent remote port's time to
        // open is some round trips, enough to wait longer for the next answer.
        if (round_trip == 0 && answer.presence == PortPresence::Silent && is_remote_port(w->port))
            round_trip = qMax(0, answer.held_ms - wait_ms) / 2;
        const PresenceStep s = presence_step(w->track, answer.presence, round_trip, w->first_look);
        w->first_look = false;
        if (s != PresenceStep::Wait)
            emit step(socket, s, w->port);
    }
    emit poll_done(socket);
    // What the signals started may have changed the watches.
    if (!(w = watches_.value(socket)) || w->port.isEmpty() || w->stop)
        return;
    w->timer->start(generation == w->generation ? qMax(0, kPresencePeriodMs - answer.held_ms) : 0);
}

void PresencePolls::drop(Watch* w)
{
    if (w->stop)
        w->stop->store(true);
    delete w->timer;
    delete w;
}

void PresencePolls::forget(SocketRun* socket)
{
    if (Watch* w = watches_.take(socket))
        drop(w);
}

void PresencePolls::forget_all()
{
    for (Watch* w : qAsConst(watches_))
        drop(w);
    watches_.clear();
}
