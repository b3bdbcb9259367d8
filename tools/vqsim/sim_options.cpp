#include "sim_options.h"

#include "sim_chips.h"

namespace {

constexpr uint64_t kKiB = 1024;
constexpr int kMaxByte = 0xFF;
constexpr int kMinSignedByte = -128;

QString squeeze(QString name)
{
    return name.remove(' ').remove('_').toLower();
}

std::optional<uint32_t> parse_hex(QString text)
{
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        text.remove(0, 2);
    bool ok = false;
    const uint32_t v = text.toUInt(&ok, 16);
    return ok ? std::optional<uint32_t>(v) : std::nullopt;
}

// Decimal or 0x-hexadecimal, with an optional K or M (binary) suffix.
std::optional<uint32_t> parse_size(QString text)
{
    uint64_t unit = 1;
    if (text.endsWith('K', Qt::CaseInsensitive))
        unit = kKiB;
    else if (text.endsWith('M', Qt::CaseInsensitive))
        unit = kMiB;
    if (unit != 1)
        text.chop(1);
    bool ok = false;
    const uint64_t v = text.toULongLong(&ok, 0) * unit;
    return ok && v <= UINT32_MAX ? std::optional<uint32_t>(uint32_t(v)) : std::nullopt;
}

std::optional<int> parse_count(const QString& text)
{
    if (text.compare(QLatin1String("always"), Qt::CaseInsensitive) == 0)
        return SimDevice::kAlways;
    bool ok = false;
    const int v = text.toInt(&ok);
    return ok && v >= 0 ? std::optional<int>(v) : std::nullopt;
}

// A status byte: -128..255 in decimal, or 0x-hexadecimal.
std::optional<uint32_t> parse_status(const QString& text)
{
    bool ok = false;
    const int v = text.toInt(&ok, 0);
    return ok && v >= kMinSignedByte && v <= kMaxByte ? std::optional<uint32_t>(uint8_t(v)) : std::nullopt;
}

// LETTER[:FIELD...]: the letter must be a single character.
std::optional<FaultSpec> parse_fault(FaultSpec::Kind kind, const QString& text)
{
    const QStringList parts = text.split(':');
    if (parts.at(0).size() != 1 || parts.at(0).at(0).unicode() > 0x7F)
        return std::nullopt;
    FaultSpec f{kind, parts.at(0).at(0).toLatin1(), 1, std::nullopt};
    const auto field = [&](int i) { return i < parts.size() ? parts.at(i) : QString(); };
    std::optional<int> count = 1;
    switch (kind) {
    case FaultSpec::Silent:
    case FaultSpec::WrongLetter:  // LETTER[:N]
        if (parts.size() > 2)
            return std::nullopt;
        if (parts.size() == 2)
            count = parse_count(field(1));
        break;
    case FaultSpec::Status:  // LETTER:STATUS[:N], every time unless N
        if (parts.size() < 2 || parts.size() > 3)
            return std::nullopt;
        f.value = parse_status(field(1));
        count = parts.size() == 3 ? parse_count(field(2)) : SimDevice::kAlways;
        if (!f.value)
            return std::nullopt;
        break;
    case FaultSpec::WrongCrc:  // LETTER[:CRC], every time
        if (parts.size() > 2)
            return std::nullopt;
        count = SimDevice::kAlways;
        if (parts.size() == 2 && !(f.value = parse_hex(field(1))))
            return std::nullopt;
        break;
    }
    if (!count)
        return std::nullopt;
    f.count = *count;
    return f;
}

// A flash ID in hexadecimal, or "fail" for a variant that is not acknowledged.
bool read_flash_id(const QString& text, uint32_t* id, bool* fails)
{
    *fails = text.compare(QLatin1String("fail"), Qt::CaseInsensitive) == 0;
    if (*fails)
        return true;
    const auto v = parse_hex(text);
    if (v)
        *id = *v;
    return bool(v);
}

}  // namespace

std::optional<uint32_t> parse_chip(const QString& text)
{
    for (const SimChip& m : kSimChips) {
        if (squeeze(QString::fromLatin1(m.name)) == squeeze(text))
            return m.chip_id;
    }
    return parse_hex(text);
}

QString chip_label(uint32_t chip_id)
{
    for (const SimChip& m : kSimChips) {
        if (m.chip_id == chip_id)
            return QString::fromLatin1(m.name);
    }
    return QStringLiteral("0x%1").arg(chip_id, 8, 16, QLatin1Char('0'));
}

void add_sim_options(QCommandLineParser& parser)
{
    parser.addOptions({
        {"chip", "Chip model name (VQ4410, \"VQ210 Uart0\", ...) or hexadecimal chip ID; default VQ4410.", "chip", "VQ4410"},
        {"version", "Boot-loader version (hex); default 0x00010002.", "hex"},
        {"link-code", "Link code (hex); default 0xEEBA0080, 0xEEBA0081 asks for the short block pacing.", "hex"},
        {"vcom", "Report a virtual-COM link (J0/J1/J2 frames, block packet streams)."},
        {"no-wait-flag", "Set the flag that tells the host it need not wait for more reply bytes."},
        {"flash-id", "Flash ID for get-flash-ID variant 0 (hex), or \"fail\"; default 0x00EF4018.", "hex|fail"},
        {"flash-id-1", "Flash ID for variant 1 (hex), or \"fail\"; default: as variant 0.", "hex|fail"},
        {"flash-size", "External flash size (bytes, K or M suffix); default 16M.", "size"},
        {"internal-flash-size", "Internal flash size (bytes, K or M suffix); default 2M.", "size"},
        {"progress-reports", "Progress replies before each flash CRC result; default 3.", "n"},
        {"crc-rate",
         "Bytes per second the device reads while it computes a CRC (flash and MCU CRC commands; progress "
         "reports are spread over that time); 0 answers at once. Default 8000000.",
         "bytes_per_s", QString::number(kDefaultCrcRate)},
        {"final-status", "Final status of the flash CRC command: one character or 0xNN; default 1.", "status"},
        {"silent", "No reply to the next N commands of LETTER (N: count or always).", "LETTER[:N]"},
        {"wrong-letter", "Wrong letter in the last reply to the next N commands of LETTER.", "LETTER[:N]"},
        {"status", "Answer commands of LETTER with STATUS (every time unless N).", "LETTER:STATUS[:N]"},
        {"wrong-crc", "Report a wrong CRC for 'N' or 'n' (CRC given in hex, else the true one inverted).",
         "LETTER[:CRC]"},
        {"delay-ms", "Delay every reply by this many milliseconds.", "ms"},
        {"split", "Hand each reply over in pieces of LEN bytes with PAUSE ms between (default 62:16).",
         "LEN[:PAUSE]"},
        {"no-pacing", "Do not pace bytes to the line rate."},
        {"publish-dir", "Directory of the published port files.", "dir", default_publish_dir()},
    });
}

bool read_sim_options(const QCommandLineParser& parser, SimOptions* options, QString* error)
{
    SimConfig& c = options->config;
    const auto fail = [error](const QString& option) {
        *error = QStringLiteral("bad value for --%1").arg(option);
        return false;
    };
    const auto hex_option = [&](const QString& name, uint32_t* out) {
        if (!parser.isSet(name))
            return true;
        const auto v = parse_hex(parser.value(name));
        if (v)
            *out = *v;
        return bool(v);
    };
    const auto size_option = [&](const QString& name, uint32_t* out) {
        if (!parser.isSet(name))
            return true;
        const auto v = parse_size(parser.value(name));
        if (v)
            *out = *v;
        return bool(v);
    };

    const auto chip = parse_chip(parser.value("chip"));
    if (!chip)
        return fail("chip");
    c.chip_id = *chip;
    if (!hex_option("version", &c.boot_version))
        return fail("version");
    if (!hex_option("link-code", &c.link_code))
        return fail("link-code");
    c.vcom = parser.isSet("vcom");
    c.no_wait_flag = parser.isSet("no-wait-flag");
    if (parser.isSet("flash-id")) {
        if (!read_flash_id(parser.value("flash-id"), &c.flash_id[0], &c.flash_id_fails[0]))
            return fail("flash-id");
        c.flash_id[1] = c.flash_id[0];
        c.flash_id_fails[1] = c.flash_id_fails[0];
    }
    if (parser.isSet("flash-id-1") && !read_flash_id(parser.value("flash-id-1"), &c.flash_id[1], &c.flash_id_fails[1]))
        return fail("flash-id-1");
    if (!size_option("flash-size", &c.flash_size))
        return fail("flash-size");
    if (!size_option("internal-flash-size", &c.internal_flash_size))
        return fail("internal-flash-size");
    if (parser.isSet("progress-reports")) {
        const auto n = parse_count(parser.value("progress-reports"));
        if (!n || *n < 0)
            return fail("progress-reports");
        c.progress_reports = *n;
    }
    {
        bool ok = false;
        const uint32_t rate = parser.value("crc-rate").toUInt(&ok, 10);
        if (!ok)
            return fail("crc-rate");
        c.crc_rate = rate;
    }
    if (parser.isSet("final-status")) {
        const QString s = parser.value("final-status");
        const auto v = s.size() == 1 ? std::optional<uint32_t>(uint8_t(s.at(0).toLatin1())) : parse_status(s);
        if (!v)
            return fail("final-status");
        c.final_status = uint8_t(*v);
    }

    const std::pair<const char*, FaultSpec::Kind> fault_options[] = {
        {"silent", FaultSpec::Silent},
        {"wrong-letter", FaultSpec::WrongLetter},
        {"status", FaultSpec::Status},
        {"wrong-crc", FaultSpec::WrongCrc},
    };
    for (const auto& [name, kind] : fault_options) {
        for (const QString& text : parser.values(name)) {
            const auto f = parse_fault(kind, text);
            if (!f)
                return fail(name);
            options->faults += *f;
        }
    }

    SimTransport& t = options->transport;
    if (parser.isSet("delay-ms")) {
        const auto ms = parse_count(parser.value("delay-ms"));
        if (!ms || *ms < 0)
            return fail("delay-ms");
        t.reply_delay_ms = *ms;
    }
    if (parser.isSet("split")) {
        const QStringList parts = parser.value("split").split(':');
        const auto len = parse_count(parts.at(0));
        const auto pause = parts.size() == 2 ? parse_count(parts.at(1)) : std::optional<int>(kFtdiPauseMs);
        if (parts.size() > 2 || !len || *len <= 0 || !pause || *pause < 0)
            return fail("split");
        t.split_len = *len;
        t.split_pause_ms = *pause;
    }
    t.pacing = !parser.isSet("no-pacing");
    options->publish_dir = parser.value("publish-dir");
    return true;
}

void apply_faults(const QVector<FaultSpec>& faults, SimDevice& device)
{
    for (const FaultSpec& f : faults) {
        switch (f.kind) {
        case FaultSpec::Silent: device.set_silent(f.letter, f.count); break;
        case FaultSpec::WrongLetter: device.set_wrong_letter(f.letter, f.count); break;
        case FaultSpec::Status: device.set_status(f.letter, uint8_t(*f.value), f.count); break;
        case FaultSpec::WrongCrc: device.set_wrong_crc(f.letter, f.count, f.value); break;
        }
    }
}
