#include "child_events.h"

#include <QJsonDocument>

ChildEvent parse_child_event(const QByteArray& line)
{
    ChildEvent e;
    e.object = QJsonDocument::fromJson(line).object();
    const QString kind = e.object.value(QStringLiteral("event")).toString();
    if (kind == QLatin1String("log") || kind == QLatin1String("error")) {
        e.kind = kind == QLatin1String("log") ? ChildEvent::Kind::Log : ChildEvent::Kind::Error;
        e.text = e.object.value(QStringLiteral("text")).toString();
    } else if (kind == QLatin1String("progress")) {
        e.kind = ChildEvent::Kind::Progress;
        e.percent = e.object.value(QStringLiteral("percent")).toInt();
    } else if (kind == QLatin1String("action")) {
        e.kind = ChildEvent::Kind::Action;
        e.action = e.object.value(QStringLiteral("action")).toString();
        e.bytes = qint64(e.object.value(QStringLiteral("bytes")).toDouble());
    } else if (kind == QLatin1String("result")) {
        e.kind = ChildEvent::Kind::Result;
        e.action = e.object.value(QStringLiteral("action")).toString();
        e.ok = e.object.value(QStringLiteral("ok")).toBool();
        e.chip = e.object.value(QStringLiteral("chip")).toString();
    }
    return e;
}

QList<QByteArray> ChildLines::feed(const QByteArray& bytes)
{
    pending_ += bytes;
    QList<QByteArray> lines;
    int end;
    while ((end = pending_.indexOf('\n')) >= 0) {
        lines.append(pending_.left(end));
        pending_.remove(0, end + 1);
    }
    return lines;
}
