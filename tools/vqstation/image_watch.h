#pragma once

// Whether a copy of an image file is the file: one being rewritten in place
// (not replaced by a rename) may be caught half way by a read, and such a
// copy must never reach a board.

#include <QDateTime>
#include <QFileInfo>

struct FileState {
    qint64 size = -1;  // -1: no such file
    QDateTime modified;

    static FileState of(const QString& path)
    {
        QFileInfo info(path);
        info.setCaching(false);
        return info.exists() ? FileState{info.size(), info.lastModified()} : FileState{};
    }
    bool operator==(const FileState& o) const { return size == o.size && modified == o.modified; }
    bool operator!=(const FileState& o) const { return !(*this == o); }
};

// A file last written this recently may be between two writes of its writer.
constexpr int kImageQuietMs = 1000;

// True when a read that found `before` just ahead of it and `after` just
// behind it holds the whole file: nothing wrote to it meanwhile, nor within
// quiet_ms before `now` by its time stamp, or (a file server's clock may run
// ahead) by how long the station has seen it as it is, unchanged_ms.
inline bool copy_is_whole(const FileState& before, const FileState& after, const QDateTime& now,
                          qint64 unchanged_ms, int quiet_ms = kImageQuietMs)
{
    return before.size >= 0 && before == after && before.modified.isValid() &&
           (before.modified.msecsTo(now) >= quiet_ms || unchanged_ms >= quiet_ms);
}
