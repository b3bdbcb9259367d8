#pragma once

// Where one board's run reports: the log pane's lines and vqprog's own notes
// to stdout, boxes to stderr as "error: <text>", progress as one updating
// line on a terminal; or all of it as JSON lines for a line controller. The
// log file, when asked for, gets every log line with a timestamp.

#include <QFile>
#include <QString>

#include <optional>

#include "flashimage/skip_plan.h"
#include "progress_text.h"

struct Options;

class Console {
public:
    Console(const Options& options, const QString& port);

    void log(const QString& text);
    void progress(int percent);
    void error(const QString& text);
    void note(const QString& text);  // vqprog's own line, not the window's
    void action_started(const QString& action, qint64 bytes);
    // verdict: as the action's record says it ("ok", "failed", "device gone",
    // "stopped"); bytes: what an update wrote and left out, none for the others.
    void result(const QString& action, bool ok, const QString& verdict, double seconds, const QString& chip,
                const std::optional<UpdateBytes>& bytes = {});

    bool log_file_failed() const { return log_failed_; }

private:
    void emit_json(const QJsonObject& object);
    void clear_progress_line();
    void append_to_log_file(const QString& text);

    bool json_;
    bool quiet_;
    bool tty_;
    QString port_;
    QFile log_file_;
    bool log_failed_ = false;
    int last_percent_ = -1;
    bool progress_shown_ = false;
    ProgressMeter meter_;
};
