// vqprog, the built program, run as a line controller would run it: against
// simulated chips on real ptys, judged by its exit code, its stdout (the
// window's own log lines), its stderr ("error:" lines), its JSON stream and
// what the simulated memories hold afterwards.

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "vqprog_bench.h"

using namespace flash_fixtures;

namespace {

// Each stdout line as a JSON object; an empty object marks a line that did not parse.
QVector<QJsonObject> events_of(const QStringList& lines)
{
    QVector<QJsonObject> out;
    for (const QString& line : lines) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
        out.append(error.error == QJsonParseError::NoError && doc.isObject() ? doc.object() : QJsonObject());
    }
    return out;
}

QVector<QJsonObject> results_of(const QVector<QJsonObject>& events)
{
    QVector<QJsonObject> out;
    for (const QJsonObject& e : events) {
        if (e.value("event").toString() == "result")
            out.append(e);
    }
    return out;
}

// An MCU image whose bytes 4..7 hold the run address.
QByteArray mcu_image(int len)
{
    QByteArray b = pattern(len, 11);
    sim_wire::set_u32(b, 4, kInternalFlashBase);
    return b;
}

// The largest resident size of any child process this test has waited for, in KiB.
long children_peak_kib()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

QStringList errors_of(const Outcome& o)
{
    QStringList out;
    for (const QString& line : o.err) {
        if (line.startsWith("error: "))
            out << line.mid(7);
    }
    return out;
}

// Sends two signals, the second once the first has been taken in: which
// of two signals pending at once comes first is the kernel's choice.
bool signal_twice(qint64 pid, int first, int second)
{
    ::kill(pid_t(pid), first);
    const bool taken = QTest::qWaitFor([pid] {
        QFile status(QString("/proc/%1/status").arg(pid));
        const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
        const int at = text.indexOf("ShdPnd:");
        return at < 0 || text.mid(at + 7, text.indexOf('\n', at) - at - 7).trimmed().toULongLong(nullptr, 16) == 0;
    }, kRunTimeoutMs);
    ::kill(pid_t(pid), second);  // gone by now, if it stops faster than it is watched: no fault to see
    return taken;
}

}  // namespace

class VqprogTest : public QObject {
    Q_OBJECT

private slots:
    void every_action_data();
    void every_action();
    void json_stream_and_log_file();
    void failures_data();
    void failures();
    void refused_before_connecting_data();
    void refused_before_connecting();
    void flash_ini_says_why_data();
    void flash_ini_says_why();
    void silent_chip_ends_update_data();
    void silent_chip_ends_update();
    void signal_mid_update_data();
    void signal_mid_update();
    void gang_interrupted();
    void gang_one_board_failing();
    void gang_of_two_data();
    void gang_of_two();
    void config_ini_left_alone();
    void skip_unchanged_data();
    void skip_unchanged();
    void bad_usage_data();
    void bad_usage();
    void help_and_version();
    void completion_data();
    void completion();
};

void VqprogTest::every_action_data()
{
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QStringList>("expected");  // stdout lines, in this order

    QTest::newRow("identify") << QStringList{"identify"}
                              << QStringList{"Reconnected with the new baud rate...", "VQ4410 Boot_Version:10002",
                                             "vqprog: identify ok"};
    QTest::newRow("flash-info") << QStringList{"flash-info"}
                                << QStringList{"vqprog: flash ID 0xef4018, size 16777216, name W16M"};
    QTest::newRow("update-flash bin") << QStringList{"update-flash", "flash.bin"}
                                      << QStringList{"Check flash CRC pass.", "Update flash is OK!!!!!!"};
    QTest::newRow("update-flash diff") << QStringList{"update-flash", "update.diff"}
                                       << QStringList{"Diff Update flash is OK!!!!!!"};
    QTest::newRow("check-flash") << QStringList{"check-flash", "in_flash.bin"}
                                 << QStringList{"Check flash CRC pass.", "vqprog: check-flash ok"};
    QTest::newRow("update-mcu") << QStringList{"update-mcu", "mcu.bin"}
                                << QStringList{"Check CRC is OK...", "Update MCU is OK!!!!!!"};
    QTest::newRow("check-mcu") << QStringList{"check-mcu", "in_mcu.bin"} << QStringList{"Check MCU CRC is OK..."};
    QTest::newRow("update then check without file")
        << QStringList{"update-flash", "flash.bin", "check-flash", "update-mcu", "mcu.bin", "check-mcu"}
        << QStringList{"Update flash is OK!!!!!!", "vqprog: check-flash ok", "Update MCU is OK!!!!!!",
                       "Check MCU CRC is OK..."};
    QTest::newRow("run") << QStringList{"run"} << QStringList{"vqprog: run ok"};
    QTest::newRow("bootmode 1") << QStringList{"bootmode", "1"} << QStringList{"vqprog: bootmode ok"};
    QTest::newRow("bootmode 2") << QStringList{"bootmode", "2"} << QStringList{"vqprog: bootmode ok"};
}

void VqprogTest::every_action()
{
    QFETCH(QStringList, actions);
    QFETCH(QStringList, expected);
    Bench b;
    SimServer* sim = b.add();
    QVERIFY(sim);
    const QByteArray flash_image = pattern(5000, 1);
    const QByteArray mcu = mcu_image(4100);
    const QByteArray diff_data = pattern(3000, 2);
    b.write("flash.bin", flash_image);
    b.write("in_flash.bin", flash_image);
    b.write("mcu.bin", mcu);
    b.write("in_mcu.bin", mcu);
    const QByteArray record = diff_record(0x20000, diff_data, crc(diff_data));
    b.write("update.diff", diff_file(record, uint32_t(record.size())));
    sim->with_device([&](SimDevice& d) {
        if (actions.first() == "check-flash")
            d.external_flash().write(0, flash_image);
        if (actions.first() == "check-mcu")
            d.internal_flash().replace(0, mcu.size(), mcu);
        return 0;
    });

    const Outcome o = b.run(QStringList{"--port", sim->slave_path()} + actions);
    QVERIFY(o.finished);
    QCOMPARE(errors_of(o), QStringList());
    QCOMPARE(o.exit_code, 0);
    int at = 0;
    for (const QString& line : expected) {
        while (at < o.out.size() && !o.out[at].startsWith(line))
            ++at;
        QVERIFY2(at < o.out.size(), qPrintable("missing or out of order: " + line + "\n" + o.out.join('\n')));
    }

    if (actions.contains("flash.bin"))
        QCOMPARE(sim->with_device([&](SimDevice& d) { return d.external_flash().read(0, flash_image.size()); }),
                 flash_image);
    if (actions.contains("update.diff"))
        QCOMPARE(sim->with_device([&](SimDevice& d) { return d.external_flash().read(0x20000, diff_data.size()); }),
                 diff_data);
    if (actions.contains("mcu.bin"))
        QCOMPARE(sim->with_device([&](SimDevice& d) { return d.internal_flash().left(mcu.size()); }), mcu);
    if (actions.first() == "run")
        QVERIFY(sim->with_device([](SimDevice& d) { return d.app_started(); }));
    if (actions.first() == "bootmode") {
        const QVector<SimFrame> frames = sim->with_device([](SimDevice& d) { return d.frames(); });
        QCOMPARE(frames.size(), 1);
        QCOMPARE(frames[0].kind, FrameKind::BootMode);
        QCOMPARE(frames[0].variant, actions[1].at(0).toLatin1());
        QVERIFY(frames[0].crc_ok);
    }
    // The port was closed at the end: another program can open it at once.
    QSerialPort port(sim->slave_path());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QVERIFY(!QFile::exists(b.work.filePath("config.ini")));
}

void VqprogTest::json_stream_and_log_file()
{
    Bench b;
    SimServer* sim = b.add();
    QVERIFY(sim);
    const QByteArray image = pattern(9000, 4);
    b.write("flash.bin", image);
    const QString log_path = b.work.filePath("run.log");
    const Outcome o =
        b.run({"--json", "--log", log_path, "--port", sim->slave_path(), "update-flash", "flash.bin", "check-flash", "run"});
    QVERIFY(o.finished);
    QCOMPARE(o.exit_code, 0);

    const QVector<QJsonObject> events = events_of(o.out);
    QStringList kinds;
    QList<int> percents;
    QMap<QString, double> action_bytes;
    for (int i = 0; i < events.size(); ++i) {
        QVERIFY2(!events[i].isEmpty(), qPrintable("not a JSON object: " + o.out[i]));
        kinds << events[i].value("event").toString();
        if (kinds.last() == "progress")
            percents << events[i].value("percent").toInt();
        if (kinds.last() == "action")
            action_bytes[events[i].value("action").toString()] = events[i].value("bytes").toDouble(-1);
    }
    QCOMPARE(action_bytes.value("update-flash", -1), double(image.size()));
    QVERIFY(kinds.contains("log"));
    QVERIFY(!percents.isEmpty());
    QCOMPARE(percents.last(), 100);
    QStringList actions;
    for (const QJsonObject& r : results_of(events)) {
        actions << r.value("action").toString();
        QCOMPARE(r.value("ok").toBool(), true);
        QVERIFY(r.value("seconds").isDouble());
        QCOMPARE(r.value("chip").toString(), QString("VQ4410"));
    }
    // The port is opened and the chip identified before the first action that needs it.
    QCOMPARE(actions, QStringList({"identify", "update-flash", "check-flash", "run"}));
    QCOMPARE(kinds.last(), QString("result"));

    QFile log(log_path);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QStringList lines = lines_of(log.readAll());
    const QRegularExpression stamped("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} " +
                                     QRegularExpression::escape(sim->slave_path()) + " ");
    QVERIFY(!lines.isEmpty());
    for (const QString& line : lines)
        QVERIFY2(stamped.match(line).hasMatch(), qPrintable(line));
    QVERIFY(lines.filter(QRegularExpression(" Update flash is OK!!!!!!$")).size() == 1);
}

void VqprogTest::failures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("line");   // on stdout, as the log pane has it
    QTest::addColumn<QString>("error");  // on stderr after "error: ", or empty

    QTest::newRow("refused block") << "refuse l" << QStringList{"update-flash", "flash.bin"} << 1
                                   << "Update flash is fail....." << "";
    QTest::newRow("flash CRC mismatch") << "wrong crc n" << QStringList{"check-flash", "flash.bin"} << 1
                                        << "Check flash CRC fail,return CRC Value:" << "";
    QTest::newRow("update verified wrong") << "wrong crc n" << QStringList{"update-flash", "flash.bin"} << 1
                                           << "Update flash is fail....." << "";
    QTest::newRow("MCU CRC mismatch") << "wrong crc N" << QStringList{"update-mcu", "mcu.bin"} << 1
                                      << "Update MCU is fail....." << "";
    QTest::newRow("silent chip") << "silent K" << QStringList{"identify"} << 1 << "" << "Time over!";
    QTest::newRow("silent flash ID") << "silent m" << QStringList{"flash-info"} << 1 << "" << "Time over!";
    QTest::newRow("unlisted flash") << "unlisted" << QStringList{"flash-info"} << 1
                                    << "vqprog: flash ID 0x11223344, size 0, name -" << "";
    QTest::newRow("unplugged mid-update") << "unplug l" << QStringList{"update-flash", "flash.bin"} << 3
                                          << "Update flash is fail....." << "";
    QTest::newRow("unplugged mid-MCU") << "unplug J" << QStringList{"update-mcu", "mcu.bin"} << 3
                                       << "Update MCU is fail....." << "";
}

void VqprogTest::failures()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, actions);
    QFETCH(int, exit_code);
    QFETCH(QString, line);
    QFETCH(QString, error);
    Bench b;
    SimServer* sim = b.add(fault == "unlisted" ? chip(kVq4410, kUnlisted, kUnlisted) : chip(kVq4410));
    QVERIFY(sim);
    b.write("flash.bin", pattern(20000, 5));
    b.write("mcu.bin", mcu_image(20000));
    sim->with_device([&](SimDevice& d) {
        d.external_flash().write(0, pattern(20000, 6));  // not the image
        if (fault == "refuse l")
            d.set_status('l', sim_status::kBadCrc);
        else if (fault.startsWith("wrong crc"))
            d.set_wrong_crc(fault.back().toLatin1());
        else if (fault.startsWith("silent"))
            d.set_silent(fault.back().toLatin1(), SimDevice::kAlways);
        return 0;
    });
    if (fault.startsWith("unplug"))
        sim->unplug_after(fault.back().toLatin1(), 3);

    // The run after the failing action must not happen.
    const Outcome o = b.run(QStringList{"--json", "--port", sim->slave_path()} + actions + QStringList{"run"});
    QVERIFY(o.finished);
    QVERIFY2(o.exit_code == exit_code, qPrintable(QString::number(o.exit_code) + "\n" + o.out.join("\n") + "\n" + o.err.join("\n")));
    const QVector<QJsonObject> events = events_of(o.out);
    QStringList logged, errors;
    for (int i = 0; i < events.size(); ++i) {
        QVERIFY2(!events[i].isEmpty(), qPrintable("not a JSON object: " + o.out[i]));
        if (events[i].value("event") == "log")
            logged << events[i].value("text").toString();
        if (events[i].value("event") == "error")
            errors << events[i].value("text").toString();
    }
    if (!line.isEmpty() && !line.startsWith("vqprog:"))
        QVERIFY2(!logged.filter(QRegularExpression("^" + QRegularExpression::escape(line))).isEmpty(),
                 qPrintable(logged.join('\n')));
    if (!error.isEmpty()) {
        QVERIFY(errors.contains(error));
        QVERIFY(errors_of(o).contains(error));
    }
    if (exit_code == 3)
        QVERIFY(logged.contains("Remove " + sim->slave_path()));
    const QVector<QJsonObject> results = results_of(events);
    QVERIFY(!results.isEmpty());
    QCOMPARE(results.last().value("action").toString(), actions.first());
    QCOMPARE(results.last().value("ok").toBool(), false);
    QCOMPARE(results.last().value("verdict").toString(), QString(exit_code == 3 ? "device gone" : "failed"));
    QVERIFY(!QFile::exists(b.work.filePath("config.ini")));
    if (!fault.startsWith("unplug"))
        QVERIFY(!sim->with_device([](SimDevice& d) { return d.app_started(); }));

    // The human form of the same: the verdict line on stdout, the box on stderr.
    if (fault.startsWith("unplug") || fault == "unlisted")
        return;
    const Outcome human = b.run(QStringList{"--port", sim->slave_path()} + actions);
    QCOMPARE(human.exit_code, exit_code);
    if (!line.isEmpty())
        QVERIFY(!human.out.filter(QRegularExpression("^" + QRegularExpression::escape(line))).isEmpty());
    QVERIFY(!human.out.filter(QRegularExpression("^vqprog: " + actions.first() + " FAILED")).isEmpty());
    if (!error.isEmpty())
        QVERIFY(errors_of(human).contains(error));
}

void VqprogTest::refused_before_connecting_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("bytes");  // "sparse": a 4 GiB file with no data in it
    QTest::addColumn<QString>("error");      // after "error: <file>: "
    const QByteArray data = pattern(3000, 2);
    const QByteArray good = diff_record(0x20000, data, crc(data));
    const QByteArray past_end = diff_record(0x3FFFFF00, data, crc(data));
    const QByteArray bad_crc = diff_record(0x20000, data, crc(data) ^ 1);
    const QByteArray empty_record = diff_record(0x20000, QByteArray(), 0);
    QTest::newRow("empty mcu image") << "update-mcu" << "mcu.bin" << QByteArray() << "the image is empty";
    QTest::newRow("empty flash image") << "update-flash" << "flash.bin" << QByteArray() << "the image is empty";
    QTest::newRow("empty check image") << "check-flash" << "flash.bin" << QByteArray() << "the image is empty";
    QTest::newRow("4 GiB sparse") << "update-flash" << "huge.bin" << QByteArray("sparse")
                                  << "4294967296 bytes, larger than the largest flash (1073741824 bytes); not read";
    QTest::newRow("diff record CRC") << "update-flash" << "bad.diff" << diff_file(bad_crc, uint32_t(bad_crc.size()))
                                     << "record 1 of 1 (file offset 32, address 0x00020000): its data has CRC";
    QTest::newRow("diff past the largest flash")
        << "update-flash" << "bad.diff" << diff_file(past_end, uint32_t(past_end.size()))
        << "record 1 of 1 (file offset 32, address 0x3FFFFF00): its data ends at byte";
    QTest::newRow("diff empty record") << "update-flash" << "bad.diff"
                                       << diff_file(empty_record + good, uint32_t(empty_record.size() + good.size()), false, false, 2)
                                       << "record 1 of 2 (file offset 32, address 0x00020000): the record holds no data";
    QTest::newRow("diff without records") << "update-flash" << "none.diff" << diff_file(QByteArray(), 0, false, false, 0)
                                          << "There are not any block to update...";
    const QByteArray at_0 = diff_record(0, data.left(100), crc(data.left(100)));
    const QByteArray at_1024 = diff_record(1024, data.left(100), crc(data.left(100)));
    QTest::newRow("diff record padded over") << "update-flash" << "bad.diff"
                                             << diff_file(at_1024 + at_0, uint32_t(2 * at_0.size()), false, false, 2)
                                             << "record 1 of 2 (file offset 32, address 0x00000400): the writes of record 2";
    QTest::newRow("diff block area length") << "update-flash" << "bad.diff" << diff_file(good, uint32_t(good.size() + 16))
                                            << "dblk_lenght says the block area holds 3032 bytes, it holds 3016";
}

void VqprogTest::refused_before_connecting()
{
    QFETCH(QString, action);
    QFETCH(QString, file);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, error);
    Bench b;
    SimServer* sim = b.add();
    QVERIFY(sim);
    QString path = b.write(file, bytes == "sparse" ? QByteArray() : bytes);
    if (bytes == "sparse")
        QVERIFY(QFile::resize(path, qint64(4) << 30));
    const Outcome o = b.run({"--port", sim->slave_path(), action, file});
    QVERIFY(o.finished);
    QCOMPARE(o.exit_code, 2);
    const QStringList errors = errors_of(o);
    QVERIFY2(!errors.isEmpty() && errors.first().startsWith(path + ": " + error), qPrintable(o.err.join('\n')));
    QCOMPARE(o.out, QStringList());
    QCOMPARE(b.frames_received(), 0);
    // Judged from its size: the file is never read.
    QVERIFY2(children_peak_kib() < 256 * 1024, qPrintable(QString::number(children_peak_kib())));
}

void VqprogTest::flash_ini_says_why_data()
{
    QTest::addColumn<QByteArray>("catalogue");  // "-": no Flash.ini
    QTest::addColumn<QString>("line");          // "PATH": Flash.ini's path
    QTest::newRow("missing") << QByteArray("-") << "Flash.ini: cannot read PATH";
    QTest::newRow("no valid line") << QByteArray("[FLASH]\n# flash parts\n") << "Flash.ini: no valid flash line in PATH";
    QTest::newRow("ID not listed") << QByteArray(kCatalogue) << "Flash.ini: flash ID 0x11223344 is not listed in PATH";
}

void VqprogTest::flash_ini_says_why()
{
    QFETCH(QByteArray, catalogue);
    QFETCH(QString, line);
    Bench b;
    SimServer* sim = b.add(chip(kVq4410, kUnlisted, kUnlisted));
    QVERIFY(sim);
    if (catalogue == "-")
        QVERIFY(QFile::remove(b.work.filePath("Flash.ini")));
    else
        b.write("Flash.ini", catalogue);
    b.write("flash.bin", pattern(5000, 1));
    line.replace("PATH", QDir(b.work.path()).filePath("Flash.ini"));
    for (const QStringList& actions : {QStringList{"flash-info"}, QStringList{"update-flash", "flash.bin"}}) {
        const Outcome o = b.run(QStringList{"--port", sim->slave_path()} + actions);
        QCOMPARE(o.exit_code, 1);
        QVERIFY2(o.out.count(line) == 1, qPrintable(o.out.join('\n')));
    }
}

void VqprogTest::silent_chip_ends_update_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("written");  // block frames sent: one answered, then the silent ones
    QTest::newRow("default: three") << QStringList() << 4;
    QTest::newRow("--max-timeouts 1") << QStringList{"--max-timeouts", "1"} << 2;
}

void VqprogTest::silent_chip_ends_update()
{
    QFETCH(QStringList, options);
    QFETCH(int, written);
    Bench b;
    SimServer* sim = b.add();
    QVERIFY(sim);
    b.write("flash.bin", pattern(64 * 1024, 3));
    sim->with_device([](SimDevice& d) { d.set_silent('l', SimDevice::kAlways, 1); return 0; });
    const Outcome o = b.run(options + QStringList{"--port", sim->slave_path(), "update-flash", "flash.bin"});
    QVERIFY(o.finished);
    QCOMPARE(o.exit_code, 1);
    QCOMPARE(sim->with_device([](SimDevice& d) { return d.frames_of('l').size(); }), written);
    QVERIFY(o.out.contains(QString("%1 block writes in a row got no reply: the chip stopped answering").arg(written - 1)));
    QVERIFY(o.out.contains("Update flash is fail....."));
    QCOMPARE(sim->with_device([](SimDevice& d) { return d.frames_of('n').size(); }), 0);  // no final check
}

void VqprogTest::signal_mid_update_data()
{
    QTest::addColumn<int>("signal_number");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("action");
    QTest::newRow("SIGTERM") << int(SIGTERM) << 143 << "update-flash";
    QTest::newRow("SIGINT") << int(SIGINT) << 130 << "update-flash";
    QTest::newRow("SIGHUP") << int(SIGHUP) << 129 << "update-flash";
    QTest::newRow("SIGTERM in the MCU update") << int(SIGTERM) << 143 << "update-mcu";
    // The boot loader goes on with the CRC the stop cut short: the next run
    // connects once it is done, within its bound, and the stop has its verdict.
    QTest::newRow("SIGTERM in the flash check") << int(SIGTERM) << 143 << "check-flash";
}

void VqprogTest::signal_mid_update()
{
    QFETCH(int, signal_number);
    QFETCH(int, exit_code);
    QFETCH(QString, action);
    Bench b;
    SimConfig slow_crc = chip(kVq4410);
    slow_crc.crc_rate = 400000;  // 1 MiB: 2.6 s, reporting its progress as a boot loader does
    slow_crc.progress_reports = 3;
    SimServer* sim = b.add(slow_crc);
    QVERIFY(sim);
    sim->set_reply_delay_ms(20);
    b.write("image.bin", action == "update-mcu" ? mcu_image(1 << 20) : pattern(1 << 20, 7));
    const bool check = action == "check-flash";
    const auto run = b.start(QStringList{"--port", sim->slave_path(), action, "image.bin"} +
                             (check ? QStringList{"--json"} : QStringList()));
    QVERIFY(Bench::reached(sim, action == "update-mcu" ? 'J' : check ? 'n' : 'l', check ? 1 : 3));
    QVERIFY(signal_twice(run->processId(), signal_number, signal_number == SIGINT ? SIGTERM : SIGINT));
    const Outcome o = Bench::finish(*run);
    QVERIFY(o.finished);
    QCOMPARE(o.exit_code, exit_code);
    QVERIFY2(o.err.filter(QRegularExpression("^vqprog: interrupted by SIG[A-Z]+; port closed$")).size() == 1,
             qPrintable(o.err.join('\n')));
    if (check)
        QCOMPARE(results_of(events_of(o.out)).last().value("verdict").toString(), QString("stopped"));
    else
        QVERIFY(action == "update-mcu" || !o.out.filter(QRegularExpression("^vqprog: " + action + " FAILED")).isEmpty());

    // Another user opens the port at once: neither exclusive mode nor a lock file is left behind.
    QStringList opener{VQPROG_PATH, "--port", sim->slave_path(), "identify"};
    QTemporaryDir reachable(QDir::rootPath() + "tmp/vqprog-test-XXXXXX");  // the build may lie in a private home
    if (::geteuid() == 0 && QFile::exists("/usr/sbin/runuser")) {
        const auto everyone = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                              QFileDevice::ReadOther | QFileDevice::ExeOther;
        opener[0] = reachable.filePath("vqprog");
        QVERIFY(QFile::copy(VQPROG_PATH, opener[0]) && QFile::setPermissions(opener[0], everyone) &&
                QFile::setPermissions(reachable.path(), everyone));
        QVERIFY(QFile::setPermissions(sim->slave_path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                             QFileDevice::ReadOther | QFileDevice::WriteOther));
        opener = QStringList{"/usr/sbin/runuser", "-u", "nobody", "--"} + opener;
        if (QProcess::execute(opener[0], opener.mid(1, 3) + QStringList{"test", "-x", opener[4]}) != 0)
            QSKIP("user nobody cannot run a copy of vqprog in /tmp: the port's release to another user is not checked");
    }
    QProcess again;
    again.setWorkingDirectory(QDir::rootPath());
    again.start(opener.takeFirst(), opener);
    QVERIFY(again.waitForFinished(kRunTimeoutMs));
    QVERIFY2(again.exitCode() == 0, again.readAllStandardError().constData());
}

void VqprogTest::gang_interrupted()
{
    Bench b;
    QVector<SimServer*> sims{b.add(), b.add(), b.add()};
    QStringList args{"--max-parallel", "2"};
    for (SimServer* sim : sims) {
        QVERIFY(sim);
        sim->set_reply_delay_ms(20);
        args << "--port" << sim->slave_path();
    }
    b.write("flash.bin", pattern(1 << 20, 8));
    const auto run = b.start(args + QStringList{"update-flash", "flash.bin"});
    QVERIFY(Bench::reached(sims[0], 'l', 3) && Bench::reached(sims[1], 'l', 3));
    QFile children(QString("/proc/%1/task/%1/children").arg(run->processId()));
    QVERIFY(children.open(QIODevice::ReadOnly));
    const QList<QByteArray> child_pids = children.readAll().simplified().split(' ');
    QCOMPARE(child_pids.size(), 2);

    QVERIFY(signal_twice(run->processId(), SIGTERM, SIGINT));  // the first decides
    const Outcome o = Bench::finish(*run);
    QVERIFY(o.finished);
    QCOMPARE(o.exit_code, 143);
    for (const QByteArray& pid : child_pids)
        QVERIFY2(!QFile::exists("/proc/" + pid), pid.constData());
    const int header = o.out.indexOf(QRegularExpression("^port +chip +action +verdict +seconds$"));
    QVERIFY2(header >= 0, qPrintable(o.out.join('\n')));
    for (int i = 0; i < 3; ++i) {
        const QString verdict = i < 2 ? "INTERRUPTED" : "SKIPPED";
        // Signalled, not killed: a running board ends its update and says so.
        QCOMPARE(o.out.contains(sims[i]->slave_path() + ": update-flash FAILED"), i < 2);
        const QRegularExpression row("^" + QRegularExpression::escape(sims[i]->slave_path()) + " .* " + verdict + " +\\d+\\.\\d");
        QVERIFY2(o.out.indexOf(row, header) > header, qPrintable(o.out.join('\n')));
    }
    QCOMPARE(o.out.last(), QString("0 of 3 boards passed"));
    // Nothing was sent to the board that was never started.
    QCOMPARE(sims[2]->with_device([](SimDevice& d) { return d.received().size(); }), 0);
}

void VqprogTest::gang_one_board_failing()
{
    Bench b;
    QVector<SimServer*> sims;
    for (int i = 0; i < 3; ++i) {
        sims << b.add();
        QVERIFY(sims.last());
    }
    sims[1]->with_device([](SimDevice& d) { d.set_status('l', sim_status::kBadCrc); return 0; });
    const QByteArray image = pattern(12000, 8);
    b.write("flash.bin", image);
    QStringList args;
    for (SimServer* s : sims)
        args << "--port" << s->slave_path();
    const Outcome o = b.run(args + QStringList{"--max-parallel", "2", "update-flash", "flash.bin"});
    QVERIFY(o.finished);
    QCOMPARE(o.exit_code, 1);

    const int header = o.out.indexOf(QRegularExpression("^port +chip +action +verdict +seconds$"));
    QVERIFY2(header >= 0, qPrintable(o.out.join('\n')));
    for (int i = 0; i < 3; ++i) {
        const QString verdict = i == 1 ? "FAILED" : "ok";
        const QRegularExpression row("^" + QRegularExpression::escape(sims[i]->slave_path()) +
                                     " +VQ4410 +update-flash +" + verdict + " +\\d+\\.\\d$");
        QVERIFY2(o.out.indexOf(row, header) > header, qPrintable(o.out.join('\n')));
    }
    QCOMPARE(o.out.last(), QString("2 of 3 boards passed"));
    for (int i = 0; i < 3; ++i) {
        const QByteArray held = sims[i]->with_device([&](SimDevice& d) { return d.external_flash().read(0, image.size()); });
        if (i == 1)
            QVERIFY(held != image);
        else
            QCOMPARE(held, image);
    }

    // All passing: exit 0, and the JSON stream carries each board's port.
    sims[1]->with_device([](SimDevice& d) { d.set_status('l', sim_status::kOk); return 0; });
    const Outcome again = b.run(args + QStringList{"--json", "update-flash", "flash.bin"});
    QCOMPARE(again.exit_code, 0);
    QSet<QString> passed;
    for (const QJsonObject& e : events_of(again.out)) {
        QVERIFY(!e.isEmpty());
        if (e.value("event") == "board" && e.value("ok").toBool())
            passed << e.value("port").toString();
    }
    QCOMPARE(passed.size(), 3);
}

void VqprogTest::gang_of_two_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QList<int>>("exits");  // each board's exit code
    QTest::newRow("both pass") << "" << QList<int>{0, 0};
    QTest::newRow("log file in a missing folder") << "log" << QList<int>{2, 2};
    QTest::newRow("second board unplugged") << "unplug" << QList<int>{0, 3};
}

void VqprogTest::gang_of_two()
{
    QFETCH(QString, fault);
    QFETCH(QList<int>, exits);
    Bench b;
    QVector<SimServer*> sims{b.add(), b.add()};
    QVERIFY(sims[0] && sims[1]);
    const QByteArray image = pattern(12000, 9);
    b.write("flash.bin", image);
    QStringList args{"--json", "--port", sims[0]->slave_path(), "--port", sims[1]->slave_path()};
    if (fault == "log")
        args << "--log" << b.work.filePath("missing/run.log");
    if (fault == "unplug")
        sims[1]->unplug_after('l', 3);
    const Outcome o = b.run(args + QStringList{"update-flash", "flash.bin"});
    QVERIFY(o.finished);
    const bool all_passed = exits == QList<int>{0, 0};
    QCOMPARE(o.exit_code, all_passed ? 0 : 1);
    QMap<QString, QJsonObject> boards;
    for (const QJsonObject& e : events_of(o.out)) {
        if (e.value("event") == "board")
            boards[e.value("port").toString()] = e;
    }
    for (int i = 0; i < 2; ++i) {
        const QJsonObject board = boards.value(sims[i]->slave_path());
        QVERIFY2(!board.isEmpty(), qPrintable(o.out.join('\n')));
        QCOMPARE(board.value("exit").toInt(), exits[i]);
        QCOMPARE(board.value("ok").toBool(), exits[i] == 0);
        if (exits[i] == 0)
            QCOMPARE(b.flash_of(i, image.size()), image);
    }
}

// A second run writes only what the device does not already hold, and says
// so in its result: bytes written count what went over the wire.
void VqprogTest::skip_unchanged_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("changed_at");  // -1: the same image again
    QTest::addColumn<qint64>("written");
    QTest::newRow("flash, unchanged") << "update-flash" << -1 << qint64(0);
    QTest::newRow("flash, one byte of the middle block") << "update-flash" << 5000 << qint64(2048);
    QTest::newRow("flash, the tail") << "update-flash" << 9999 << qint64(10000 % 2048);
    QTest::newRow("mcu, unchanged") << "update-mcu" << -1 << qint64(0);
    QTest::newRow("mcu, one byte") << "update-mcu" << 5000 << qint64(10000);
}

void VqprogTest::skip_unchanged()
{
    QFETCH(QString, action);
    QFETCH(int, changed_at);
    QFETCH(qint64, written);
    Bench b;
    SimServer* sim = b.add();
    QVERIFY(sim);
    QByteArray image = action == "update-mcu" ? mcu_image(10000) : pattern(10000, 5);
    b.write("image.bin", image);
    const QStringList args{"--json", "--port", sim->slave_path(), action, "image.bin"};
    const Outcome first = b.run(args);
    QCOMPARE(first.exit_code, 0);
    QCOMPARE(results_of(events_of(first.out)).last().value("bytes_written").toDouble(), double(image.size()));

    if (changed_at >= 0)
        image[changed_at] = char(image.at(changed_at) ^ 0x5A);
    b.write("image.bin", image);
    sim->with_device([](SimDevice& d) { d.clear_records(); return 0; });
    const Outcome again = b.run(QStringList{"--skip-unchanged"} + args);
    QCOMPARE(again.exit_code, 0);
    const QJsonObject result = results_of(events_of(again.out)).last();
    QVERIFY(result.value("ok").toBool());
    QCOMPARE(qint64(result.value("bytes_written").toDouble()), written);
    QCOMPARE(qint64(result.value("bytes_skipped").toDouble()), image.size() - written);
    const QVector<SimFrame> frames = sim->with_device([](SimDevice& d) { return d.frames(); });
    const auto writes = std::count_if(frames.begin(), frames.end(), [](const SimFrame& f) {
        return f.kind == FrameKind::BlockWrite || f.kind == FrameKind::Program || f.kind == FrameKind::Erase;
    });
    QCOMPARE(writes == 0, written == 0);
    QCOMPARE(action == "update-mcu" ? b.mcu_of(0, image.size()) : b.flash_of(0, image.size()), image);
}

// What a window leaves in its folder plays no part in a script's run, and
// stays as it was, to the byte and the time stamp.
void VqprogTest::config_ini_left_alone()
{
    Bench b;
    SimServer* sim = b.add();
    QVERIFY(sim);
    const QByteArray image = pattern(5000, 3);
    b.write("flash.bin", image);
    const QStringList args{"--port", sim->slave_path(), "--baud", "230400", "update-flash", "flash.bin", "check-flash"};
    // Without the lines whose values are times.
    const auto timeless = [](QStringList lines) {
        lines = lines.filter(QRegularExpression("^(?!Timer:)"));
        return lines.replaceInStrings(QRegularExpression(" \\(\\d+\\.\\d s\\)$"), "");
    };

    const Outcome bare = b.run(args);
    QCOMPARE(bare.exit_code, 0);
    QVERIFY(!QFile::exists(b.work.filePath("config.ini")));

    const QByteArray config = "EWHOLE:1\nNFLASH:0\n" + b.work.filePath("other_mcu.bin").toUtf8() + "\n" +
                              b.work.filePath("other_flash.bin").toUtf8() + "\nBLSET:2\nWAITT:7\n";
    QFile file(b.write("config.ini", config));
    const QDateTime stamp = QDateTime::fromSecsSinceEpoch(1000000000);
    QVERIFY(file.open(QIODevice::ReadWrite) && file.setFileTime(stamp, QFileDevice::FileModificationTime));
    file.close();
    sim->with_device([](SimDevice& d) { d.external_flash().write(0, QByteArray(5000, '\xFF')); return 0; });

    const Outcome beside = b.run(args);
    QCOMPARE(beside.exit_code, 0);
    QCOMPARE(timeless(beside.out), timeless(bare.out));
    QCOMPARE(beside.err, bare.err);
    QVERIFY(beside.out.filter("config.ini").isEmpty());
    QCOMPARE(b.flash_of(0, image.size()), image);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), config);
    QCOMPARE(QFileInfo(file).lastModified(), stamp);
}

void VqprogTest::bad_usage_data()
{
    QTest::addColumn<QStringList>("args");  // PORT stands for the simulator's port
    QTest::addColumn<QString>("error");

    QTest::newRow("unknown action") << QStringList{"--port", "PORT", "frobnicate"} << "unknown action: frobnicate";
    QTest::newRow("no action") << QStringList{"--port", "PORT"} << "no action given";
    QTest::newRow("missing file") << QStringList{"--port", "PORT", "update-flash", "missing.bin"}
                                  << "cannot read file: missing.bin";
    QTest::newRow("file not given") << QStringList{"--port", "PORT", "update-mcu"} << "update-mcu takes a file";
    QTest::newRow("directory as file") << QStringList{"--port", "PORT", "check-flash", "."}
                                       << "cannot read file: .";
    QTest::newRow("unknown port") << QStringList{"--port", "/dev/no-such-port", "identify"}
                                  << "unknown port: /dev/no-such-port";
    QTest::newRow("URL without a TCP port") << QStringList{"--port", "rfc2217://fixture1", "identify"}
                                            << "rfc2217://fixture1: no TCP port; write it as rfc2217://fixture1:port";
    QTest::newRow("rate not in list") << QStringList{"--port", "PORT", "--baud", "12345", "identify"}
                                      << "rate not in the list: 12345";
    QTest::newRow("new rate not in list") << QStringList{"--port", "PORT", "--new-rate", "fast", "identify"}
                                          << "rate not in the list: fast";
    QTest::newRow("wait 9 ms") << QStringList{"--port", "PORT", "--wait-ms", "9", "identify"}
                               << "--wait-ms takes 1 to 8";
    QTest::newRow("wait 0 ms") << QStringList{"--port", "PORT", "--wait-ms", "0", "identify"}
                               << "--wait-ms takes 1 to 8";
    QTest::newRow("busy retry below 0") << QStringList{"--port", "PORT", "--busy-retry", "-1", "identify"}
                                        << "--busy-retry takes seconds from 0 to 600";
    QTest::newRow("bootmode 3") << QStringList{"--port", "PORT", "bootmode", "3"} << "bootmode takes 1 or 2";
    QTest::newRow("unknown option") << QStringList{"--port", "PORT", "--turbo", "identify"}
                                    << "Unknown option 'turbo'.";
    QTest::newRow("max-parallel 0") << QStringList{"--port", "PORT", "--port", "PORT", "--max-parallel", "0", "identify"}
                                    << "--max-parallel takes a number from 1";
}

void VqprogTest::bad_usage()
{
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    Bench b;
    SimServer* sim = b.add();
    QVERIFY(sim);
    args.replaceInStrings(QRegularExpression("^PORT$"), sim->slave_path());
    const Outcome o = b.run(args);
    QVERIFY(o.finished);
    QCOMPARE(o.exit_code, 2);
    QCOMPARE(errors_of(o), QStringList{error});
    QVERIFY(o.err.indexOf(QRegularExpression("Usage: .*")) >= 0);
    QCOMPARE(o.out, QStringList());
    // Nothing reached the chip.
    QCOMPARE(sim->with_device([](SimDevice& d) { return d.received().size(); }), 0);
}

void VqprogTest::help_and_version()
{
    Bench b;
    const Outcome help = b.run({"--help"});
    QCOMPARE(help.exit_code, 0);
    QVERIFY(help.out.indexOf(QRegularExpression("Usage: .*vqprog \\[options\\] ACTION...")) == 0);
    QVERIFY(help.out.indexOf(QRegularExpression(" *update-flash FILE .*")) > 0);
    QCOMPARE(help.err, QStringList());
    const Outcome version = b.run({"--version"});
    QCOMPARE(version.exit_code, 0);
    QCOMPARE(version.out, QStringList{"vqprog 1.0"});
}

void VqprogTest::completion_data()
{
    QTest::addColumn<QString>("line");  // as typed, up to the cursor
    QTest::addColumn<QStringList>("offered");
    QTest::newRow("actions") << "vqprog --port /dev/ttyACM0 upd" << QStringList{"update-mcu", "update-flash"};
    QTest::newRow("--records takes a file") << "vqprog --records " << QStringList{"a.db"};
    QTest::newRow("--stamp") << "vqprog --stamp " << QStringList();
    QTest::newRow("--station") << "vqprog --station " << QStringList();
    QTest::newRow("--serial-counter") << "vqprog --serial-counter " << QStringList();
    QTest::newRow("the records subcommand") << "vqprog rec" << QStringList{"records"};
    QTest::newRow("records options") << "vqprog records a.db --s" << QStringList{"--serial", "--since", "--station"};
    QTest::newRow("records --since takes a time") << "vqprog records a.db --since " << QStringList();
}

void VqprogTest::completion()
{
    QFETCH(QString, line);
    QFETCH(QStringList, offered);
    QTemporaryDir dir;
    QProcess made;
    made.setStandardOutputFile(dir.filePath("vqprog.completion"));
    made.start(VQPROG_PATH, {"--bash-completion"});
    QVERIFY(made.waitForFinished() && made.exitCode() == 0);
    QVERIFY(QDir(dir.path()).mkdir("work") && QFile(dir.filePath("work/a.db")).open(QIODevice::WriteOnly));
    const QString script = "source /usr/share/bash-completion/bash_completion; source ../vqprog.completion; "
                           "COMP_LINE=\"$1\"; COMP_POINT=${#COMP_LINE}; read -ra COMP_WORDS <<<\"$1\"; "
                           "[[ $1 == *' ' ]] && COMP_WORDS+=(''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                           "_vqprog vqprog \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"; "
                           "printf '%s\\n' \"${COMPREPLY[@]}\"";
    QProcess bash;
    bash.setWorkingDirectory(dir.filePath("work"));
    bash.start("bash", {"-c", script, "bash", line});
    QVERIFY(bash.waitForFinished());
    QCOMPARE(QString::fromUtf8(bash.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts), offered);
}

QTEST_MAIN(VqprogTest)
#include "test_vqprog.moc"
