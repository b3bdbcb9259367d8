#include "presence_probe.h"

#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <memory>

#include "protocol/frame.h"
#include "serial/rates.h"
#include "session/presence.h"
#include "socket_run.h"

namespace {

// Lives on its socket's thread: the poll blocks that thread only.
class ProbeWorker : public QObject {
public:
    PortPresence ask(const QString& port, int rate_index, int wait_ms)
    {
        PresenceAsk question;
        question.port = port;
        question.rate_index = rate_index;
        question.reply_wait_ms = wait_ms;
        return ask_presence(question, never_).presence;
    }

private:
    std::atomic<bool> never_{false};
};

constexpr int kBitsPerByte = 10;  // 8N1

}  // namespace

int presence_wait_ms(int baud)
{
    const int line_ms = (2 * kReplyLen * kBitsPerByte * 1000 + baud - 1) / qMax(1, baud);
    return kPresenceWaitMs + line_ms;
}

struct AnswerPresence::Watch {
    QString port;
    QThread* thread = nullptr;
    ProbeWorker* worker = nullptr;
    QTimer* timer = nullptr;
    quint64 id = 0;          // this watch's, never another's: answers may outlive a setup
    quint64 generation = 0;  // of the port now: an answer about an earlier port is dropped
    bool in_flight = false;
    bool answering = false;
    bool initial = false;  // its next answer is the one found at the station's first look
    bool start_held = false;
};

namespace {
quint64 next_number = 0;
}

AnswerPresence::AnswerPresence(QObject* parent) : QObject(parent), rate_index_(kDefaultRateIndex) {}

AnswerPresence::~AnswerPresence()
{
    forget_all();
}

void AnswerPresence::watch(SocketRun* socket, const QString& port, bool initial)
{
    Watch*& w = watches_[socket];
    if (!w) {
        w = new Watch;
        w->id = ++next_number;
        w->initial = initial;
        w->thread = new QThread;
        w->thread->setObjectName(QStringLiteral("presence"));
        w->worker = new ProbeWorker;
        w->worker->moveToThread(w->thread);
        connect(w->thread, &QThread::finished, w->worker, &QObject::deleteLater);
        w->thread->start();
        w->timer = new QTimer(this);
        w->timer->setSingleShot(true);
        connect(w->timer, &QTimer::timeout, this, [this, socket] { ask(socket); });
    }
    if (w->port == port)
        return;
    w->port = port;
    w->generation = ++next_number;
    w->answering = false;
    if (port.isEmpty())
        w->timer->stop();
    else if (!w->in_flight)
        w->timer->start(0);
}

bool AnswerPresence::hold_start(SocketRun* socket)
{
    Watch* w = watches_.value(socket);
    if (!w || !w->in_flight)
        return false;
    w->start_held = true;
    return true;
}

void AnswerPresence::ask(SocketRun* socket)
{
    Watch* w = watches_.value(socket);
    if (!w || w->port.isEmpty() || w->in_flight)
        return;
    // Its board's child has the port; asked again once it has ended.
    if (socket->running()) {
        w->timer->start(kPresencePeriodMs);
        return;
    }
    w->in_flight = true;
    ++asked_;
    ProbeWorker* worker = w->worker;
    const quint64 id = w->id;
    const QString port = w->port;
    const quint64 generation = w->generation;
    const int rate_index = rate_index_;
    const int wait_ms = presence_wait_ms(baud_rate_for_index(rate_index));
    QMetaObject::invokeMethod(
        worker,
        [this, worker, socket, id, port, generation, rate_index, wait_ms] {
            QElapsedTimer held;
            held.start();
            const PortPresence answer = worker->ask(port, rate_index, wait_ms);
            const qint64 ms = answer == PortPresence::Held ? 0 : held.elapsed();
            QMetaObject::invokeMethod(
                this, [this, socket, id, generation, answer, ms] { took(socket, id, generation, answer, ms); },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void AnswerPresence::took(SocketRun* socket, quint64 id, quint64 generation, PortPresence answer, qint64 held_ms)
{
    port_time_ms_ += held_ms;
    Watch* w = watches_.value(socket);
    if (!w || w->id != id)
        return;
    w->in_flight = false;
    if (generation == w->generation && answer != PortPresence::Held) {
        const bool initial = w->initial;
        w->initial = false;
        const bool was_answering = w->answering;
        w->answering = answer == PortPresence::Answered;
        if (w->answering && !was_answering)
            emit answered(socket, w->port, initial);
        else if (!w->answering && was_answering)
            emit went_silent(socket);
    }
    // What the signals started may have changed the watches.
    if (!(w = watches_.value(socket)))
        return;
    if (w->start_held) {
        w->start_held = false;
        emit start_ready(socket);
        if (!(w = watches_.value(socket)))
            return;
    }
    if (!w->port.isEmpty() && !w->in_flight)
        w->timer->start(generation == w->generation ? int(qMax<qint64>(0, kPresencePeriodMs - held_ms)) : 0);
}

void AnswerPresence::forget(SocketRun* socket)
{
    Watch* w = watches_.take(socket);
    if (!w)
        return;
    w->thread->quit();
    w->thread->wait();
    delete w->thread;
    delete w->timer;
    delete w;
}

void AnswerPresence::forget_all()
{
    // Told all at once, so that sixteen answers being awaited end together.
    for (Watch* w : qAsConst(watches_))
        w->thread->quit();
    const QList<SocketRun*> sockets = watches_.keys();
    for (SocketRun* s : sockets)
        forget(s);
}
