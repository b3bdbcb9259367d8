#pragma once

// What keeps a .diff from ever passing an update, record by record, found
// before anything is sent: a front end can then refuse the file instead of
// failing half way through the flash. The header's integrity CRCs are
// check_flash_image's; dblk_number 0 is the update's own "nothing to update".

#include <QByteArray>
#include <QString>
#include <QVector>

#include "flashimage/update_plan.h"

enum class DiffProblemKind {
    Unwalkable,       // the block area cannot be walked (a record runs past the end, ...)
    BlockAreaLength,  // dblk_lenght is not the length of the block area
    EmptyRecord,      // no data: its flash CRC check cannot pass
    RecordCrc,        // the data does not have the record's own CRC
    PastFlashEnd,     // the data reaches past the end of the flash
    NoRecords,        // dblk_number 0: the update refuses the file after connecting
    Overwritten,      // a later record's writes change the record's data after its check passed
};

struct DiffProblem {
    DiffProblemKind kind;
    int index;       // of the record, from 0; -1 for the file as a whole
    qint64 offset;   // file offset of the record header; -1 for the file as a whole
    QString reason;  // one line for the operator, naming the record
};

// Records whose writes meet: a record's writes reach past its data, 0xFF up
// to the end of its 2047-byte tail. A group holds the records, in file
// order, whose writes meet another's of the group, directly or through
// others; a duplicate group, those of one address and length.
struct DiffOverlap {
    QVector<int> records;
    bool duplicate;
};
QVector<DiffOverlap> overlapping_diff_records(const QVector<DiffRecord>& records, int blk);

// flash_size 0: not known; records are then held to the largest flash.
QVector<DiffProblem> check_diff_records(const QByteArray& file, qint64 flash_size);

// The records an update from `file` writes, walked before anything is sent:
// walk_diff_records, and then refused (Illegal, the reason naming both
// records) when a record's writes change an earlier record's data. Each
// record's range is checked right after its own writes and nothing checks
// the whole at the end, so such a file would pass with a range left wrong.
DiffWalk walk_diff_for_update(const QByteArray& file, const DiffHeader& header);
