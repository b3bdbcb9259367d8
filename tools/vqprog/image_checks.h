#pragma once

// What vqprog refuses before it opens a port: an image the chip could never
// take. The window finds some of these only after it has connected (an empty
// image ends in "Time over!"), some never (a .diff record whose data does not
// have its own CRC fails half way through the flash); a script is better told
// at once, with the file and the reason, and the board left untouched.

#include <QString>
#include <QStringList>
#include <QVector>

#include "options.h"

// Why the action's file cannot go to a chip: it cannot be read whole (it is
// larger than the largest flash, not a regular file, unreadable), it is
// empty, or it is a .diff to update from that check_diff_records refuses
// (every record's reason, one per line). Empty when the file may go, and for
// an action without a file.
QStringList image_problems(const Action& action);
