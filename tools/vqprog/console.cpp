#include "console.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <unistd.h>

#include "options.h"

namespace {
void put(FILE* stream, const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}
}  // namespace

Console::Console(const Options& options, const QString& port)
    : json_(options.json), quiet_(options.quiet), tty_(::isatty(STDOUT_FILENO) == 1), port_(port)
{
    if (!options.log_file.isEmpty()) {
        log_file_.setFileName(options.log_file);
        // Unbuffered: each line is one write, so boards of a gang sharing the
        // file do not cut into each other's lines.
        log_failed_ = !log_file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    }
}

void Console::emit_json(const QJsonObject& object)
{
    put(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

void Console::clear_progress_line()
{
    if (progress_shown_) {
        std::fputs("\r\033[K", stdout);
        progress_shown_ = false;
    }
}

void Console::append_to_log_file(const QString& text)
{
    if (!log_file_.isOpen())
        return;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    log_file_.write((stamp + QLatin1Char(' ') + port_ + QLatin1Char(' ') + text + QLatin1Char('\n')).toUtf8());
}

void Console::log(const QString& text)
{
    append_to_log_file(text);
    if (json_) {
        emit_json({{QStringLiteral("event"), QStringLiteral("log")}, {QStringLiteral("text"), text}});
        return;
    }
    if (quiet_)
        return;
    clear_progress_line();
    put(stdout, text);
    if (tty_ && last_percent_ >= 0 && last_percent_ < 100)
        progress(last_percent_);
}

void Console::progress(int percent)
{
    const bool changed = percent != last_percent_;
    last_percent_ = percent;
    if (json_) {
        if (changed)
            emit_json({{QStringLiteral("event"), QStringLiteral("progress")}, {QStringLiteral("percent"), percent}});
        return;
    }
    if (quiet_ || !tty_)
        return;
    const QByteArray line = ("\r\033[K" + meter_.text(percent)).toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
    progress_shown_ = true;
}

void Console::error(const QString& text)
{
    append_to_log_file(QStringLiteral("error: ") + text);
    if (json_)
        emit_json({{QStringLiteral("event"), QStringLiteral("error")}, {QStringLiteral("text"), text}});
    else
        clear_progress_line();
    put(stderr, QStringLiteral("error: ") + text);
}

void Console::note(const QString& text)
{
    if (json_ || quiet_)
        return;
    clear_progress_line();
    put(stdout, QStringLiteral("vqprog: ") + text);
}

void Console::action_started(const QString& action, qint64 bytes)
{
    last_percent_ = -1;
    meter_.start(bytes);
    if (json_) {
        emit_json({{QStringLiteral("event"), QStringLiteral("action")},
                   {QStringLiteral("action"), action},
                   {QStringLiteral("bytes"), double(bytes)}});
    }
}

void Console::result(const QString& action, bool ok, const QString& verdict, double seconds, const QString& chip,
                     const std::optional<UpdateBytes>& bytes)
{
    append_to_log_file(QStringLiteral("%1: %2").arg(action, ok ? QStringLiteral("ok") : QStringLiteral("FAILED")));
    if (json_) {
        QJsonObject event{{QStringLiteral("event"), QStringLiteral("result")},
                          {QStringLiteral("action"), action},
                          {QStringLiteral("ok"), ok},
                          {QStringLiteral("verdict"), verdict},
                          {QStringLiteral("seconds"), double(qRound(seconds * 1000)) / 1000.0},
                          {QStringLiteral("port"), port_},
                          {QStringLiteral("chip"), chip}};
        if (bytes) {
            event.insert(QStringLiteral("bytes_written"), double(bytes->bytes_written));
            event.insert(QStringLiteral("bytes_skipped"), double(bytes->bytes_skipped));
        }
        emit_json(event);
        return;
    }
    note(QStringLiteral("%1 %2 (%3 s)")
             .arg(action, ok ? QStringLiteral("ok") : QStringLiteral("FAILED"))
             .arg(seconds, 0, 'f', 1));
}
