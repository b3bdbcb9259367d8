#pragma once

// SIGINT, SIGTERM and SIGHUP, turned into a Qt signal. A program killed in
// the middle of an update leaves the port's exclusive mode and its lock file
// behind and the operator's board half written; caught, the signal becomes a
// request the event loop answers: stop the operation, close the port, exit
// with 128 + the signal's number as a shell would report it.
//
// The handler only writes the number to a pipe (all it may safely do); a
// socket notifier on the pipe's far end emits `caught`, also from the nested
// event loops the window runs while it waits for the device.

#include <QObject>
#include <QString>

class QSocketNotifier;

class SignalWatch : public QObject {
    Q_OBJECT

public:
    // One at a time: the handlers write to this watch's pipe.
    SignalWatch();
    ~SignalWatch() override;

    // The first signal caught, 0 while none has been. Known from the moment
    // the handler ran, also to code that blocks the event loop (a wait on
    // the records database), before `caught` is emitted.
    int signal_number() const { return caught_now(); }
    static int caught_now();

    static int exit_code(int signal_number) { return 128 + signal_number; }
    static QString name(int signal_number);  // "SIGTERM"

signals:
    void caught(int signal_number);

private:
    void drain();

    QSocketNotifier* notifier_ = nullptr;
};
