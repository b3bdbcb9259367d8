#include "protocol/config_lines.h"

#include <QIODevice>

namespace {
constexpr qint64 kSkipChunkBytes = 64 * 1024;  // how much of an over-long line is read at a time
}  // namespace

ConfigLine read_config_line(QIODevice& in, QString* line)
{
    line->clear();
    if (in.atEnd())
        return ConfigLine::End;
    // Room for the longest line, its "\r\n", and one byte to tell it is longer.
    QByteArray bytes = in.readLine(kConfigLineMaxBytes + 3);
    if (bytes.isEmpty() && in.atEnd())
        return ConfigLine::End;
    const bool ended = bytes.endsWith('\n');
    if (!ended && !in.atEnd()) {
        QByteArray rest;
        do {
            rest = in.readLine(kSkipChunkBytes);
        } while (!rest.isEmpty() && !rest.endsWith('\n'));
        return ConfigLine::TooLong;
    }
    if (ended) {
        bytes.chop(1);
        if (bytes.endsWith('\r'))
            bytes.chop(1);
    }
    if (bytes.size() > kConfigLineMaxBytes)
        return ConfigLine::TooLong;
    // The explicit length keeps NUL bytes: the line is judged by all its characters.
    *line = QString::fromLocal8Bit(bytes.constData(), bytes.size());
    return ConfigLine::Ok;
}

bool return_115200_from_line(const QString& line)
{
    return line.contains(QLatin1Char('1'));
}

int bl_set_from_line(const QString& line)
{
    if (line.contains(QLatin1Char('1')))
        return 1;
    if (line.contains(QLatin1Char('2')))
        return 2;
    return 0;
}

int wait_index_from_line(const QString& line)
{
    for (int i = line.size() - 1; i >= 0; --i) {
        const QChar c = line.at(i);
        if (c >= QLatin1Char('0') && c <= QLatin1Char('8'))
            return c.unicode() - '0';
    }
    return kFallbackWaitIndex;
}

int wait_ms_for_index(int index)
{
    return (index >= 0 && index <= 7) ? index + 1 : kFallbackWaitMs;
}

QString compose_config(bool return_115200, const QString& mcu_image_path,
                       const QString& flash_image_path, int bl_set, int wait_index)
{
    if (wait_index < 0 || wait_index > 7)
        wait_index = kFallbackWaitIndex;
    return QStringLiteral("EWHOLE:%1\n").arg(return_115200 ? 1 : 0) + QStringLiteral("NFLASH:0\n") +
           mcu_image_path + QLatin1Char('\n') + flash_image_path + QLatin1Char('\n') +
           QStringLiteral("BLSET:%1\n").arg(bl_set) + QStringLiteral("WAITT:%1\n").arg(wait_index);
}
