#include "station_setup.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <algorithm>

#include "port_identity.h"

namespace {

// QSettings reads a value with a comma as a list; a name or URL with one
// must come back whole.
QString text_value(const QSettings& s, const QString& key)
{
    const QVariant v = s.value(key);
    return v.type() == QVariant::StringList ? v.toStringList().join(QLatin1Char(',')) : v.toString();
}

QStringList list_value(const QSettings& s, const QString& key)
{
    QStringList out;
    for (const QString& item : s.value(key).toStringList()) {
        if (!item.trimmed().isEmpty())
            out << item.trimmed();
    }
    return out;
}

bool presence_mode(const QString& mode)
{
    return mode == QLatin1String(kPresencePort) || mode == QLatin1String(kPresenceAnswer);
}

}  // namespace

bool socket_presence_by_answer(const StationSetup& setup, const QString& key)
{
    return setup.port_presence.value(key, setup.presence) == QLatin1String(kPresenceAnswer);
}

QString socket_device(const QString& name)
{
    const QFileInfo info(name);
    return QDir::cleanPath(info.isSymLink() ? info.symLinkTarget() : name);
}

QStringList station_action_names()
{
    return {QStringLiteral("update-mcu"), QStringLiteral("update-flash"), QStringLiteral("check-flash"),
            QStringLiteral("check-mcu"), QStringLiteral("run")};
}

bool station_action_takes_file(const QString& name)
{
    return name.startsWith(QLatin1String("update-")) || name.startsWith(QLatin1String("check-"));
}

QStringList StationSetup::image_files() const
{
    QStringList files;
    for (const StationAction& a : actions) {
        if (!a.file.isEmpty() && !files.contains(a.file))
            files << a.file;
    }
    return files;
}

bool load_station_setup(const QString& file, StationSetup* setup, QString* error)
{
    const QFileInfo info(file);
    // A FIFO or a device would hang QSettings or feed it a stream: only a
    // plain file is a setup.
    if (!info.exists()) {
        *error = QStringLiteral("%1: no such file").arg(file);
        return false;
    }
    if (!info.isFile()) {
        *error = QStringLiteral("%1: not a plain file").arg(file);
        return false;
    }
    if (!info.isReadable()) {
        *error = QStringLiteral("%1: not readable").arg(file);
        return false;
    }
    QSettings s(file, QSettings::IniFormat);
    if (s.status() != QSettings::NoError) {
        *error = QStringLiteral("%1: not a setup file (INI)").arg(file);
        return false;
    }
    StationSetup out;
    out.folder = info.absolutePath();
    const QDir dir(out.folder);
    out.name = text_value(s, QStringLiteral("station/name")).trimmed();
    out.records = text_value(s, QStringLiteral("station/records")).trimmed();
    if (!out.records.isEmpty() && !out.records.contains(QLatin1String("://")))
        out.records = dir.absoluteFilePath(out.records);

    s.beginGroup(QStringLiteral("actions"));
    QStringList keys = s.childKeys();
    std::sort(keys.begin(), keys.end(), [](const QString& a, const QString& b) { return a.toInt() < b.toInt(); });
    for (const QString& key : keys) {
        bool numbered = false;
        key.toInt(&numbered);
        const QString line = text_value(s, key).trimmed();
        const QString name = line.section(QLatin1Char(' '), 0, 0);
        const QString arg = line.section(QLatin1Char(' '), 1).trimmed();
        if (!numbered || !station_action_names().contains(name)) {
            *error = QStringLiteral("%1: [actions] %2=%3: not an action (%4)")
                         .arg(file, key, line, station_action_names().join(QStringLiteral(", ")));
            return false;
        }
        if (station_action_takes_file(name) && arg.isEmpty() && name.startsWith(QLatin1String("update-"))) {
            *error = QStringLiteral("%1: [actions] %2=%3: needs an image file").arg(file, key, line);
            return false;
        }
        out.actions.append({name, arg.isEmpty() ? QString() : dir.absoluteFilePath(arg)});
    }
    s.endGroup();

    out.baud = s.value(QStringLiteral("link/baud"), 0).toInt();
    out.new_rate = s.value(QStringLiteral("link/new_rate"), 0).toInt();
    for (const int rate : {out.baud, out.new_rate}) {
        if (rate != 0 && baud_index_of(rate) < 0) {
            *error = QStringLiteral("%1: [link] %2: rate not in the list").arg(file).arg(rate);
            return false;
        }
    }
    out.skip_unchanged = s.value(QStringLiteral("production/skip_unchanged"), false).toBool();
    out.stamps = list_value(s, QStringLiteral("production/stamps"));
    out.serial_counter = text_value(s, QStringLiteral("production/serial_counter")).trimmed();
    out.serial_start = s.value(QStringLiteral("production/serial_start"), -1).toLongLong();
    const QString ini = text_value(s, QStringLiteral("production/flash_ini")).trimmed();
    out.flash_ini = ini.isEmpty() ? QString() : dir.absoluteFilePath(ini);
    out.usb_adapters = s.value(QStringLiteral("sockets/usb_adapters"), true).toBool();
    out.simulated = s.value(QStringLiteral("sockets/simulated"), true).toBool();
    out.presence = text_value(s, QStringLiteral("sockets/presence")).trimmed();
    if (out.presence.isEmpty())
        out.presence = QLatin1String(kPresencePort);
    if (!presence_mode(out.presence)) {
        *error = QStringLiteral("%1: [sockets] presence=%2: not port or answer").arg(file, out.presence);
        return false;
    }
    // "NAME" or "NAME presence=answer": device names and URLs have no spaces.
    for (const QString& item : list_value(s, QStringLiteral("sockets/ports"))) {
        const QStringList words = item.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const QString name = words.first();
        for (const QString& word : words.mid(1)) {
            const QString mode = word.section(QLatin1Char('='), 1);
            if (!word.startsWith(QLatin1String("presence=")) || !presence_mode(mode)) {
                *error = QStringLiteral("%1: [sockets] ports: %2: after a port only presence=port or "
                                        "presence=answer")
                             .arg(file, item);
                return false;
            }
            out.port_presence.insert(name, mode);
        }
        out.ports << name;
    }
    // Two names of one port (a by-path link and its device, two spellings of
    // a URL) would be two sockets, two boards' children, on one port; a
    // malformed URL is refused as vqprog refuses it. Host names are compared
    // with their addresses once resolved (StationController).
    const QString problem = same_port_problem(out.ports);
    if (!problem.isEmpty()) {
        *error = QStringLiteral("%1: [sockets] ports: %2").arg(file, problem);
        return false;
    }
    *setup = out;
    return true;
}

bool save_station_setup(const QString& file, const StationSetup& setup, QString* error)
{
    QSettings s(file, QSettings::IniFormat);
    s.clear();
    const QDir dir(QFileInfo(file).absolutePath());
    s.setValue(QStringLiteral("station/name"), setup.name);
    s.setValue(QStringLiteral("station/records"), setup.records);
    for (int i = 0; i < setup.actions.size(); ++i) {
        const StationAction& a = setup.actions[i];
        QString line = a.name;
        if (!a.file.isEmpty())
            line += QLatin1Char(' ') + dir.relativeFilePath(a.file);
        s.setValue(QStringLiteral("actions/%1").arg(i + 1), line);
    }
    s.setValue(QStringLiteral("link/baud"), setup.baud);
    s.setValue(QStringLiteral("link/new_rate"), setup.new_rate);
    s.setValue(QStringLiteral("production/skip_unchanged"), setup.skip_unchanged);
    s.setValue(QStringLiteral("production/stamps"), setup.stamps);
    s.setValue(QStringLiteral("production/serial_counter"), setup.serial_counter);
    s.setValue(QStringLiteral("production/serial_start"), setup.serial_start);
    s.setValue(QStringLiteral("production/flash_ini"), setup.flash_ini);
    s.setValue(QStringLiteral("sockets/usb_adapters"), setup.usb_adapters);
    s.setValue(QStringLiteral("sockets/simulated"), setup.simulated);
    s.setValue(QStringLiteral("sockets/presence"), setup.presence);
    QStringList ports;
    for (const QString& name : setup.ports) {
        const QString own = setup.port_presence.value(name);
        ports << (own.isEmpty() ? name : name + QStringLiteral(" presence=") + own);
    }
    s.setValue(QStringLiteral("sockets/ports"), ports);
    s.sync();
    if (s.status() != QSettings::NoError) {
        *error = QStringLiteral("cannot write %1").arg(file);
        return false;
    }
    return true;
}

QStringList station_setup_problems(const StationSetup& setup)
{
    QStringList problems;
    if (setup.actions.isEmpty())
        problems << QStringLiteral("no action: a board would only be identified");
    for (const QString& f : setup.image_files()) {
        if (!QFileInfo(f).isFile())
            problems << QStringLiteral("image %1 not found").arg(f);
    }
    if (!setup.serial_counter.isEmpty() && setup.records.isEmpty())
        problems << QStringLiteral("a serial counter lives in the records: give a records target");
    if (!setup.usb_adapters && !setup.simulated && setup.ports.isEmpty())
        problems << QStringLiteral("no socket: name ports, or take every USB adapter or simulated chip");
    return problems;
}

Options station_board_options(const StationSetup& setup)
{
    Options o;
    o.baud_index = setup.baud > 0 ? baud_index_of(setup.baud) : -1;
    o.new_rate_index = setup.new_rate > 0 ? baud_index_of(setup.new_rate) : -1;
    o.skip_unchanged = setup.skip_unchanged;
    o.flash_ini = setup.flash_ini;
    ProductionOptions& p = o.production;
    p.records = setup.records;
    p.station = setup.name;
    p.serial_counter = setup.serial_counter;
    // A start without its counter means nothing to vqprog.
    if (!setup.serial_counter.isEmpty())
        p.serial_start = setup.serial_start;
    for (const QString& text : setup.stamps) {
        // One vqprog cannot read keeps its text: the board's vqprog refuses it by name.
        const StampParse parsed = parse_board_stamp(text);
        BoardStamp stamp = parsed.ok ? parsed.stamp : BoardStamp();
        stamp.text = text;
        p.stamps.append(stamp);
    }
    for (const StationAction& a : setup.actions)
        o.actions.append({a.name, a.file});
    return o;
}

QStringList station_child_arguments(const StationSetup& setup, const QString& port)
{
    return child_arguments(station_board_options(setup), port);
}
