// Any line of config.ini gives a usable setting, and any file splits into
// bounded lines.
#include <QBuffer>
#include <QString>
#include <cstdint>
#include <cstdlib>

#include "protocol/config_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString line = QString::fromLocal8Bit(reinterpret_cast<const char*>(data), int(size));
    return_115200_from_line(line);
    const int bl = bl_set_from_line(line);
    if (bl < 0 || bl > 2)
        abort();
    const int index = wait_index_from_line(line);
    if (index < 0 || index > 8)
        abort();
    const int ms = wait_ms_for_index(index);
    if (ms < 1 || ms > 8)
        abort();
    const QString written = compose_config(true, line, line, bl, index);
    if (!written.endsWith(QLatin1Char('\n')))
        abort();

    QByteArray file(reinterpret_cast<const char*>(data), int(size));
    QBuffer in(&file);
    in.open(QIODevice::ReadOnly);
    QString read;
    int lines = 0;
    for (ConfigLine r; (r = read_config_line(in, &read)) != ConfigLine::End; ++lines) {
        if (read.size() > kConfigLineMaxBytes || (r == ConfigLine::TooLong && !read.isEmpty()) || lines > int(size))
            abort();
    }
    return 0;
}
