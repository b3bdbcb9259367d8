#pragma once

// A child vqprog's --json stdout read back: whole lines out of the pieces
// the pipe delivers, and each line's event. The gang's parent and the line
// station both drive their boards this way, so a field added to the events
// is read in one place.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

struct ChildEvent {
    enum class Kind { Log, Progress, Error, Action, Result, Other };
    Kind kind = Kind::Other;
    QJsonObject object;  // the line as it came; empty when it was not a JSON object
    QString text;        // Log, Error
    int percent = -1;    // Progress
    QString action;      // Action, Result
    qint64 bytes = 0;    // Action: what 100 % stands for
    bool ok = false;     // Result
    QString chip;        // Result
};

ChildEvent parse_child_event(const QByteArray& line);

class ChildLines {
public:
    // The lines that bytes completed, without their newlines.
    QList<QByteArray> feed(const QByteArray& bytes);

private:
    QByteArray pending_;  // stdout not yet ended by a newline
};
