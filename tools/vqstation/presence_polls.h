#pragma once

// Sockets whose adapter stays plugged in (a fixture's cable, a remote port)
// never see a port appear when a board goes in: such a socket has a board
// while its boot loader answers a connect. Each is asked about once a second
// on a pool of threads, since a poll blocks for its reply; nobody ever waits
// for a poll: a socket forgotten (a new setup, the station closing) has its
// poll told to stop and its answer dropped, and the poll ends on its own.
// No socket is asked while its board's child runs, nor is a board started
// while its socket is being asked (the start waits for poll_done).

#include <QHash>
#include <QObject>
#include <QString>
#include <atomic>
#include <memory>

#include "presence_debounce.h"

class QThreadPool;
class QTimer;
class SocketRun;

constexpr int kPresencePeriodMs = 1000;
// The reply wait of a poll on a link with no round trip: the answer of a
// boot loader at the base rate is in well within it (a reply frame and its
// request take 11 ms at 115200 baud).
constexpr int kPresenceWaitMs = 100;

// The wait for one socket's answer at a rate: kPresenceWaitMs and the time
// a connect and its reply take on the line.
int presence_wait_ms(int baud);

class PresencePolls : public QObject {
    Q_OBJECT

public:
    explicit PresencePolls(QObject* parent = nullptr);
    // Tells every poll to stop and waits for none of them.
    ~PresencePolls() override;

    // The base rate of the polls' connect, and the Open wait that bounds
    // their reply wait.
    void set_rate(int rate_index, int max_wait_ms);
    // The port the socket has now, empty while none: asking starts, moves to
    // the new port or ends. A socket watched from the station's first look
    // reports a board found answering then as PresenceStep::Ready.
    void watch(SocketRun* socket, const QString& port, bool first_look);
    void forget(SocketRun* socket);
    void forget_all();
    bool watching(SocketRun* socket) const { return watches_.contains(socket); }
    // A poll of the socket's port is under way: a start must wait for poll_done.
    bool asking(SocketRun* socket) const;

    // For the figures: the time ports were held open by the asking, summed
    // over the sockets, and how many times they were asked.
    qint64 port_time_ms() const { return port_time_ms_; }
    int asked() const { return asked_; }
    // Polls told to stop that had not ended when their owner went.
    static bool polls_left_running();

signals:
    void step(SocketRun* socket, PresenceStep step, const QString& port);
    void poll_done(SocketRun* socket);

private:
    struct Watch;
    struct Mailbox;
    void ask(SocketRun* socket);
    void took(SocketRun* socket, quint64 id, quint64 generation, const PresenceAnswer& answer, int wait_ms);
    void drop(Watch* w);

    QThreadPool* pool_;
    std::shared_ptr<Mailbox> mailbox_;
    QHash<SocketRun*, Watch*> watches_;
    int rate_index_;
    int max_wait_ms_ = 1500;
    qint64 port_time_ms_ = 0;
    int asked_ = 0;
};
