#pragma once

// Reading a file the operator names, safely: only a regular file is read
// (a FIFO, a device or a directory in its place is unreadable, and opening
// never blocks), and never more than a bound.

#include <QByteArray>
#include <QString>

struct FileRead {
    bool ok = false;         // a regular file, read without error
    bool truncated = false;  // it holds more than the bound: bytes has the first `limit`
    QByteArray bytes;
};

FileRead read_regular_file(const QString& path, qint64 limit);

// Larger than any flash the tool can program.
constexpr qint64 kMaxImageFileBytes = qint64(1) << 30;
