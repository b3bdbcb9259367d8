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

// A whole file or nothing: one larger than the bound is refused from its
// size, before a byte is read, so a huge (or sparse) file costs no memory.
enum class WholeFileStatus { Ok, Missing, Directory, NotRegular, Unreadable, TooLarge };

struct WholeFileRead {
    WholeFileStatus status = WholeFileStatus::Unreadable;
    qint64 size = 0;  // the file's size, also when it is too large
    QByteArray bytes;
    QString cause;    // Unreadable: the system's reason
};

WholeFileRead read_whole_file(const QString& path, qint64 limit);

// One line for the operator saying why the file was not read; empty for Ok.
QString whole_file_problem(const QString& path, const WholeFileRead& read, qint64 limit);
