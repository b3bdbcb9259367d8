#include "flashimage/board_stamp.h"

#include <algorithm>

#include "flashimage/diff_builder.h"
#include "flashimage/image_rules.h"
#include "mcu/mcu_plan.h"

namespace {

constexpr qint64 kMaxStampOffset = 0x7FFFFFFF;  // no image file is larger
constexpr uint64_t kMaxU32 = 0xFFFFFFFFu;

QString refusal(const BoardStamp& stamp, const QString& why)
{
    return QStringLiteral("stamp %1: %2").arg(stamp.text, why);
}

StampParse parse_error(const QString& text, const QString& why)
{
    StampParse p;
    p.error = QStringLiteral("stamp %1: %2").arg(text, why);
    return p;
}

bool parse_offset(const QString& text, qint64* value)
{
    bool ok = false;
    qint64 v = -1;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        v = text.size() > 2 ? text.mid(2).toLongLong(&ok, 16) : -1;
    else if (!text.isEmpty() && text[0].isDigit())
        v = text.toLongLong(&ok, 10);
    if (!ok || v < 0 || v > kMaxStampOffset)
        return false;
    *value = v;
    return true;
}

bool parse_digit_count(const QString& text, int max, int* value)
{
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    if (!ok || v < 1 || v > max || !text[0].isDigit())
        return false;
    *value = v;
    return true;
}

bool parse_mac(const QString& text, uint64_t* value)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != kMacBytes)
        return false;
    uint64_t v = 0;
    for (const QString& part : parts) {
        bool ok = false;
        const uint byte = part.toUInt(&ok, 16);
        if (!ok || part.size() != 2 || byte > 0xFF)
            return false;
        v = (v << 8) | byte;
    }
    *value = v;
    return true;
}

QString mac_text(uint64_t mac)
{
    QStringList parts;
    for (int i = kMacBytes - 1; i >= 0; --i)
        parts << QStringLiteral("%1").arg(uint((mac >> (8 * i)) & 0xFF), 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(QLatin1Char(':'));
}

bool overlaps(const BoardStamp& a, const BoardStamp& b)
{
    return a.offset < b.offset + b.length() && b.offset < a.offset + a.length();
}

}  // namespace

int BoardStamp::length() const
{
    switch (format) {
    case StampFormat::U32Le:
    case StampFormat::U32Be:
        return 4;
    case StampFormat::Dec:
    case StampFormat::Hex:
        return digits;
    case StampFormat::Mac:
        return kMacBytes;
    }
    return 0;
}

StampParse parse_board_stamp(const QString& text)
{
    const int at = text.indexOf(QLatin1Char('@'));
    const int colon = text.indexOf(QLatin1Char(':'), at + 1);
    if (at < 0 || colon < 0)
        return parse_error(text, QStringLiteral("expected MEMORY@OFFSET:FORMAT"));
    StampParse p;
    BoardStamp& s = p.stamp;
    s.text = text;
    const QString memory = text.left(at);
    if (memory == QLatin1String("flash"))
        s.memory = StampMemory::Flash;
    else if (memory == QLatin1String("mcu"))
        s.memory = StampMemory::Mcu;
    else
        return parse_error(text, QStringLiteral("the memory is flash or mcu, not \"%1\"").arg(memory));
    if (!parse_offset(text.mid(at + 1, colon - at - 1), &s.offset))
        return parse_error(text, QStringLiteral("the offset is a number of bytes, decimal or 0x hex"));

    const QString format = text.mid(colon + 1);
    const QString kind = format.section(QLatin1Char(':'), 0, 0);
    const QString arg = format.section(QLatin1Char(':'), 1);
    const bool has_arg = format.contains(QLatin1Char(':'));
    if ((kind == QLatin1String("u32le") || kind == QLatin1String("u32be")) && !has_arg) {
        s.format = kind == QLatin1String("u32le") ? StampFormat::U32Le : StampFormat::U32Be;
    } else if (kind == QLatin1String("dec") && has_arg) {
        s.format = StampFormat::Dec;
        if (!parse_digit_count(arg, kMaxStampDecDigits, &s.digits))
            return parse_error(text, QStringLiteral("dec:N takes 1 to %1 digits").arg(kMaxStampDecDigits));
    } else if (kind == QLatin1String("hex") && has_arg) {
        s.format = StampFormat::Hex;
        if (!parse_digit_count(arg, kMaxStampHexDigits, &s.digits))
            return parse_error(text, QStringLiteral("hex:N takes 1 to %1 digits").arg(kMaxStampHexDigits));
    } else if (kind == QLatin1String("mac") && has_arg) {
        s.format = StampFormat::Mac;
        if (!parse_mac(arg, &s.mac_base))
            return parse_error(text, QStringLiteral("mac: takes six hexadecimal bytes, AA:BB:CC:DD:EE:FF"));
    } else {
        return parse_error(text, QStringLiteral("the format is u32le, u32be, dec:N, hex:N or mac:AA:BB:CC:DD:EE:FF"));
    }
    p.ok = true;
    return p;
}

bool stamp_bytes(const BoardStamp& stamp, qint64 serial, QByteArray* bytes, QString* error)
{
    if (serial < 0) {
        *error = refusal(stamp, QStringLiteral("no serial number"));
        return false;
    }
    const uint64_t n = uint64_t(serial);
    QByteArray out;
    switch (stamp.format) {
    case StampFormat::U32Le:
    case StampFormat::U32Be:
        if (n > kMaxU32) {
            *error = refusal(stamp, QStringLiteral("serial number %1 does not fit 32 bits").arg(serial));
            return false;
        }
        for (int i = 0; i < 4; ++i)
            out.append(char((n >> (8 * (stamp.format == StampFormat::U32Le ? i : 3 - i))) & 0xFF));
        break;
    case StampFormat::Dec:
    case StampFormat::Hex: {
        const int base = stamp.format == StampFormat::Dec ? 10 : 16;
        const QString digits = QString::number(qulonglong(n), base).toUpper();
        if (digits.size() > stamp.digits) {
            *error = refusal(stamp, QStringLiteral("serial number %1 needs more than %2 digits")
                                        .arg(serial)
                                        .arg(stamp.digits));
            return false;
        }
        out = digits.rightJustified(stamp.digits, QLatin1Char('0')).toLatin1();
        break;
    }
    case StampFormat::Mac: {
        const uint64_t low = (stamp.mac_base & kMacLowMask) + n;
        if (n > kMacLowMask || low > kMacLowMask) {
            *error = refusal(stamp, QStringLiteral("serial number %1 would carry past the low three bytes of %2")
                                        .arg(serial)
                                        .arg(mac_text(stamp.mac_base)));
            return false;
        }
        const uint64_t mac = (stamp.mac_base & ~kMacLowMask) | low;
        for (int i = kMacBytes - 1; i >= 0; --i)
            out.append(char((mac >> (8 * i)) & 0xFF));
        break;
    }
    }
    *bytes = out;
    return true;
}

QString stamp_value_text(const BoardStamp& stamp, qint64 serial)
{
    const QString where = stamp.text.left(stamp.text.indexOf(QLatin1Char(':')));
    QByteArray bytes;
    QString error;
    if (!stamp_bytes(stamp, serial, &bytes, &error))
        return where + QStringLiteral("=?");
    QString value;
    switch (stamp.format) {
    case StampFormat::U32Le:
    case StampFormat::U32Be:
        value = QString::number(serial);
        break;
    case StampFormat::Dec:
    case StampFormat::Hex:
        value = QString::fromLatin1(bytes);
        break;
    case StampFormat::Mac:
        value = QString::fromLatin1(bytes.toHex(':')).toUpper();
        break;
    }
    return where + QLatin1Char('=') + value;
}

QStringList check_board_stamps(const QVector<BoardStamp>& stamps, StampMemory memory, const QByteArray& image,
                               const QString& file_name)
{
    QStringList errors;
    QVector<const BoardStamp*> mine;
    for (const BoardStamp& s : stamps) {
        if (s.memory == memory)
            mine.append(&s);
    }
    const bool has_info_bytes = memory == StampMemory::Flash && image.size() >= kImageInfoEnd;
    for (int i = 0; i < mine.size(); ++i) {
        const BoardStamp& s = *mine[i];
        if (is_diff_image_name(file_name)) {
            errors << refusal(s, QStringLiteral("%1 is a differential image; its CRCs cover every byte, so it "
                                                "takes no stamp")
                                     .arg(file_name));
            continue;
        }
        if (s.offset + s.length() > image.size()) {
            errors << refusal(s, QStringLiteral("bytes %1..%2 lie outside the image (%3 bytes)")
                                     .arg(s.offset)
                                     .arg(s.offset + s.length() - 1)
                                     .arg(image.size()));
            continue;
        }
        if (has_info_bytes && s.offset < kImageInfoEnd && s.offset + s.length() > kImageInfoOffset)
            errors << refusal(s, QStringLiteral("touches the image info block (bytes %1..%2)")
                                     .arg(kImageInfoOffset)
                                     .arg(kImageInfoEnd - 1));
        // The MCU update takes where it programs the image from these bytes.
        if (memory == StampMemory::Mcu && s.offset < kMcuMinImageLen && s.offset + s.length() > kRunAddressAt)
            errors << refusal(s, QStringLiteral("touches the run address (bytes %1..%2)")
                                     .arg(kRunAddressAt)
                                     .arg(kMcuMinImageLen - 1));
        for (int j = 0; j < i; ++j) {
            if (overlaps(s, *mine[j]))
                errors << refusal(s, QStringLiteral("overlaps stamp %1").arg(mine[j]->text));
        }
    }
    return errors;
}

QStringList check_stamp_serial(const QVector<BoardStamp>& stamps, qint64 serial)
{
    QStringList errors;
    for (const BoardStamp& s : stamps) {
        QByteArray bytes;
        QString error;
        if (!stamp_bytes(s, serial, &bytes, &error))
            errors << error;
    }
    return errors;
}

StampedImage apply_board_stamps(const QVector<BoardStamp>& stamps, StampMemory memory, const QByteArray& image,
                                const QString& file_name, qint64 serial)
{
    StampedImage r;
    QVector<BoardStamp> mine;
    std::copy_if(stamps.begin(), stamps.end(), std::back_inserter(mine),
                 [memory](const BoardStamp& s) { return s.memory == memory; });
    r.errors = check_board_stamps(mine, memory, image, file_name) + check_stamp_serial(mine, serial);
    if (!r.errors.isEmpty())
        return r;
    // Judged before the stamps land: whether the block is valid must not
    // depend on the serial number.
    const bool info_valid = memory == StampMemory::Flash && read_image_info_block(image).valid;
    r.bytes = image;
    for (const BoardStamp& s : mine) {
        QByteArray bytes;
        QString error;
        stamp_bytes(s, serial, &bytes, &error);
        r.bytes.replace(int(s.offset), bytes.size(), bytes);
        r.values << stamp_value_text(s, serial);
    }
    if (info_valid && !mine.isEmpty())
        r.info_block_restamped = stamp_image_info(&r.bytes);
    r.ok = true;
    return r;
}
