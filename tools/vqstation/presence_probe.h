#pragma once

// Sockets whose adapter stays plugged in (a fixture's cable, a remote port)
// never see a port appear when a board goes in: such a socket has a board
// while its boot loader answers a connect. Each one asks about once a second,
// on a thread of its own, because the session's wait for the reply blocks:
// sixteen silent sockets then cost sixteen short waits in parallel, not one
// long round. No socket is asked while its board's child runs, while a start
// waits for the answer, or while another program holds the port's lock.

#include <QHash>
#include <QObject>
#include <QString>

#include "session/boot_session.h"

class QThread;
class QTimer;
class SocketRun;

// A poll every second; the answer of a boot loader at the base rate is in
// well within this wait (a reply frame and its request take 11 ms at
// 115200 baud), and the port is free again for the rest of the second.
constexpr int kPresencePeriodMs = 1000;
constexpr int kPresenceWaitMs = 100;  // plus both frames' time on the line

// The wait for one socket's answer at a rate: kPresenceWaitMs and the time
// a connect and its reply take on the line.
int presence_wait_ms(int baud);

class AnswerPresence : public QObject {
    Q_OBJECT

public:
    explicit AnswerPresence(QObject* parent = nullptr);
    ~AnswerPresence() override;

    void set_rate_index(int rate_index) { rate_index_ = rate_index; }
    // The port the socket has now, empty while none: asking starts, moves to
    // the new port or ends. A socket watched from the station's first look
    // reports its first answer as `initial`.
    void watch(SocketRun* socket, const QString& port, bool initial);
    void forget(SocketRun* socket);
    void forget_all();
    bool watching(SocketRun* socket) const { return watches_.contains(socket); }
    // An answer is being awaited on the socket's port: a start must wait for
    // the port to be free again, and it does (start_ready).
    bool hold_start(SocketRun* socket);

    // For the figures: the time ports were held open by the asking, summed
    // over the sockets, and how many times they were asked.
    qint64 port_time_ms() const { return port_time_ms_; }
    int asked() const { return asked_; }

signals:
    // The board began to answer: the first answer after silence.
    void answered(SocketRun* socket, const QString& port, bool initial);
    // A board that answered stopped answering.
    void went_silent(SocketRun* socket);
    // The socket's port is free again and a start was held for it.
    void start_ready(SocketRun* socket);

private:
    struct Watch;
    void ask(SocketRun* socket);
    void took(SocketRun* socket, quint64 id, quint64 generation, PortPresence answer, qint64 held_ms);

    QHash<SocketRun*, Watch*> watches_;
    int rate_index_;
    qint64 port_time_ms_ = 0;
    int asked_ = 0;
};
