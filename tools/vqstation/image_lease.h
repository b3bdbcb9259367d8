#pragma once

// Taking an image only once its writer is done. On Linux a read lease
// (F_SETLEASE, F_RDLCK) is refused while any process has the file open for
// writing, and is broken the moment one opens it so: a copy read under a
// lease that held to the end, of a file unchanged around the read, is the
// file as its writer left it, however long the writer pauses between its
// writes; the quiet period below is kept beside it for a writer that closes
// the file between two parts. A lease is only granted on the caller's own files (or with
// CAP_LEASE) and on file systems that keep leases, so a file of another user
// or on a network share falls back to the quiet-period rule of
// image_watch.h: unchanged around the read and not written in the second
// before it.
// Blocking (it reads the file): call it off the window's thread.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include "image_watch.h"

struct ImageLook {
    enum Status { Taken, BeingWritten, Problem };
    Status status = Problem;
    bool lease = false;  // judged under a read lease, else by the quiet period
    QByteArray bytes;    // Taken: the whole file
    FileState state;     // as it was read
    QString problem;     // Problem: why, in the words of a refused image
};

// unchanged_ms: how long the caller has seen the file as `state` says, for
// the quiet-period rule where a file server's clock runs ahead.
ImageLook look_at_image(const QString& path, qint64 limit, qint64 unchanged_ms = 0);

// How long a board whose image is being written waits for it, then fails:
// counted from the first look that found it unfinished, whatever the writer
// does meanwhile.
constexpr int kImageSettleLimitMs = 10000;

struct ImageWaitClock {
    enum Verdict { Take, Wait, GiveUp };
    qint64 since_ms = -1;  // the first look that found the image unfinished; -1: none yet
    Verdict look(qint64 now_ms, bool settled)
    {
        if (settled) {
            since_ms = -1;
            return Take;
        }
        if (since_ms < 0)
            since_ms = now_ms;
        return now_ms - since_ms >= kImageSettleLimitMs ? GiveUp : Wait;
    }
};
