#pragma once

// The rules of config.ini. The file is positional and read loosely: each
// line is judged by what characters it contains, never rejected.

#include <QString>

class QIODevice;

constexpr int kDefaultWaitIndex = 2;   // "3ms", selected at start-up
constexpr int kFallbackWaitIndex = 3;  // what a line 6 without a usable digit selects
constexpr int kFallbackWaitMs = 3;     // wait for an index outside the box

// A line longer than this is not a setting (no path is this long): it does
// not apply, and it is never held whole in memory.
constexpr int kConfigLineMaxBytes = 4096;

enum class ConfigLine { Ok, TooLong, End };

// Reads the next line of config.ini without its end ("\n" or "\r\n"),
// decoded from the local 8-bit encoding. A line longer than
// kConfigLineMaxBytes is skipped up to its end and reported as TooLong.
ConfigLine read_config_line(QIODevice& in, QString* line);

// Line 1: the "Return 115200 when close Comm" box is checked if the line has a 1 anywhere.
bool return_115200_from_line(const QString& line);

// Line 5: 1 if the line has a 1, else 2 if it has a 2, else 0.
int bl_set_from_line(const QString& line);

// Line 6: the last digit 0..8 of the line (a 9 does not count), else 3.
int wait_index_from_line(const QString& line);

// WaitTime entry to milliseconds: entries 0..7 are 1..8 ms, anything else 3 ms.
int wait_ms_for_index(int index);

// The six lines written at exit.
QString compose_config(bool return_115200, const QString& mcu_image_path,
                       const QString& flash_image_path, int bl_set, int wait_index);
