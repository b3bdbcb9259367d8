#pragma once

// Writing a file the operator names, without losing the old one: the bytes
// go to a temporary file beside it, which replaces it only once written and
// synced. A target that is not a regular file (a FIFO, a device, a directory,
// a socket) is refused before anything is opened: renaming over it would
// destroy it, and opening a FIFO for writing would block. A link to a
// regular file is followed, so the link stays and its target is replaced.

#include <QByteArray>
#include <QString>

// Empty when path names a regular file, a link to one, or nothing yet;
// otherwise why it cannot be a target ("it is a FIFO, not a regular file").
QString output_target_problem(const QString& path);

// The cause of a failed write, for the operator: the full disk and the
// file-size limit in plain words, any other error as the system words it.
QString write_error_text(int error_number);

// False with *why ("cannot write PATH: no space left on the device; the old
// PATH is left as it was") when the file could not be replaced.
bool replace_file(const QString& path, const QByteArray& bytes, QString* why);
