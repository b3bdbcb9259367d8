// The line station's real window on the offscreen platform, its boards run
// by the built vqprog against simulated chips that publish their ports one
// after another, as boards plugged into sockets. Judged by the tiles, the
// records and the simulated memories.

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTableWidget>
#include <QtTest>
#include <csignal>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utime.h>

#include "board_history.h"
#include "chart_axis.h"
#include "image_lease.h"
#include "image_watch.h"
#include "options.h"
#include "pg_server.h"
#include "port_identity.h"
#include "presence_polls.h"
#include "serial/port_url.h"
#include "protocol/connect_frame.h"
#include "protocol/hex_text.h"
#include "ser2net_rig.h"
#include "socket_run.h"
#include "station_window.h"
#include "tile_widget.h"
#include "vqprog_bench.h"

using namespace flash_fixtures;

Q_DECLARE_METATYPE(BoardEnd)
Q_DECLARE_METATYPE(FileState)

namespace {

QByteArray image()
{
    return pattern(40000, 7);  // 20 blocks: room to pull a board out half way
}

struct Station {
    explicit Station(Bench& b, const QString& records = "line.db", const QString& sockets = "simulated=true\n",
                     const QString& program = VQPROG_PATH)
    {
        b.write("image.bin", image());
        b.write("station.ini", QStringLiteral("[station]\nname=bench-1\nrecords=%1\n"
                                              "[actions]\n1=update-flash image.bin\n2=check-flash\n"
                                              "[production]\nserial_counter=boards\nserial_start=500\n"
                                              "[sockets]\nusb_adapters=false\n%2")
                                   .arg(records, sockets)
                                   .toUtf8());
        window = std::make_unique<StationWindow>(StationEnvironment{program, b.publish.path()});
        window->show();
        ok = window->open_setup(b.work.filePath("station.ini"));
    }
    SocketRun* socket(int i) const { return window->sockets().value(i); }
    bool ends_in(int i, TileState state) const
    {
        return QTest::qWaitFor([&] { return socket(i) && !socket(i)->running() && socket(i)->state() == state; },
                               kRunTimeoutMs);
    }
    // The socket of a simulated chip, found by its published entry.
    SocketRun* socket_of(SimServer* sim) const
    {
        for (SocketRun* r : window->sockets()) {
            if (r->key() == "sim:" + QFileInfo(sim->published_file()).fileName())
                return r;
        }
        return nullptr;
    }
    QByteArray log_of(int i) const  // the one a tile's menu opens
    {
        QFile f(socket(i)->log_file());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : "(no log " + f.fileName().toUtf8() + ")";
    }
    std::unique_ptr<StationWindow> window;
    bool ok = false;
};

// A presence poll: a connect in identify mode at the base rate that asks
// for no rate change (a board's own run reconnects that way only at its New Rate).
bool is_presence_poll(const SimFrame& f)
{
    return f.letter == 'K' && f.variant == '0' && f.line.rate == 115200 && uchar(f.raw.at(16)) == kNoBaudChange;
}

// A board that answers only when told: silent, a station that looks for its
// answer does not see it there.
SimServer* answering(SimServer* sim, bool answers)
{
    if (sim)
        sim->with_device([answers](SimDevice& d) { d.set_silent('K', answers ? 0 : SimDevice::kAlways); });
    return sim;
}

// Sockets whose boards keep silent are asked (twice) and wait, none running;
// then boards 0 to 2 answer, board 2 falling silent under its update. Boards
// 0 and 1 pass; all three took a number at their start, so 2's is spent.
void three_woken(Bench& b, Station& s, const QVector<SimServer*>& sims, const QVector<SocketRun*>& runs,
                 QHash<int, TileState>& ended)
{
    QCOMPARE(s.window->sockets().size(), sims.size());
    for (int i = 0; i < sims.size(); ++i) {
        SocketRun* r = runs[i];
        QVERIFY(sims[i] && r);
        QObject::connect(r, &SocketRun::finished, [&ended, r, i] { ended[i] = r->state(); });
        QVERIFY(Bench::reached(sims[i], 'K', 2));
        QCOMPARE(TileWidget::state_word(*r), QString("WAITING"));
    }
    QCOMPARE(s.window->running_boards(), 0);
    sims[2]->with_device([](SimDevice& d) { d.set_silent('l', SimDevice::kAlways, 3); });
    for (int i = 0; i < 3; ++i)
        answering(sims[i], true);
    QVERIFY(QTest::qWaitFor([&] { return ended.size() == 3; }, kRunTimeoutMs));
    QSet<QString> serials;
    for (int i = 0; i < 2; ++i) {
        QVERIFY2(ended.value(i) == TileState::Pass, qPrintable(runs[i]->detail()));
        QCOMPARE(b.flash_of(i, image().size()), image());
        serials << runs[i]->detail();
    }
    QCOMPARE(serials.size(), 2);
    QVERIFY(serials.subtract({"SN 500", "SN 501", "SN 502"}).isEmpty());
    QCOMPARE(ended.value(2), TileState::Fail);
}

}  // namespace

class StationTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void failure_reasons_data();
    void failure_reasons();
    void setup_file_data();
    void setup_file();
    void setup_round_trip();
    void copy_is_whole_data();
    void copy_is_whole();
    void chart_count_axis_data();
    void chart_count_axis();
    void presence_debounce_data();
    void presence_debounce();
    void one_port_per_socket_data();
    void one_port_per_socket();
    void image_lease_rule_data();
    void image_lease_rule();
    void image_wait_clock_data();
    void image_wait_clock();
    void records_gate_data();
    void records_gate();
    void hundred_sockets_fit_the_screen();
    void one_port_by_its_host_name_and_address();
    void setup_dialog_writes_the_file();
    void boards_from_records();
    void sockets_of_a_setup();
    void four_boards_one_after_another();
    void socket_after_its_board_is_pulled_data();
    void socket_after_its_board_is_pulled();
    void tile_colours_tell_states_apart();
    void image_rewritten_in_place_is_waited_for();
    void empty_image_named_as_the_operator_gave_it();
    void image_without_its_copy_is_not_taken();
    void image_whose_writer_never_ends_fails_the_board();
    void board_removed_mid_update_and_back();
    void board_back_while_its_child_ends();
    void closing_mid_run_leaves_nothing_behind();
    void board_there_before_the_station_waits_for_a_click();
    void boards_present_while_they_answer();
    void remote_sockets_present_while_they_answer();
    void remote_board_far_away_started_once_data();
    void remote_board_far_away_started_once();
    void by_path_link_made_after_its_tty();
    void line_view_of_two_stations();
    void records_file_removed_mid_run();
    void silent_records_server();
};

void StationTest::failure_reasons_data()
{
    QTest::addColumn<BoardEnd>("end");
    QTest::addColumn<QString>("reason");
    const auto end = [](int code, bool removed, const char* action, const char* line, const char* error = "",
                        const char* log = "") {
        BoardEnd e;
        e.exit_code = code, e.removed = removed, e.failed_action = action, e.failed_line = line, e.last_error = error;
        e.failed_log = log;
        return e;
    };
    QTest::newRow("removal seen by the station") << end(1, true, "update-flash", "Time over!") << "board removed";
    QTest::newRow("removal seen by vqprog") << end(3, false, "update-flash", "") << "board removed";
    QTest::newRow("silent socket") << end(1, false, "identify", "Time over!") << "no chip answered";
    QTest::newRow("port would not open") << end(1, false, "identify", "Open fail") << "Open fail";
    QTest::newRow("port that is no serial port")
        << end(1, false, "identify", "Open fail", "", "Cannot open /dev/null: not a serial port.")
        << "Open fail: Cannot open /dev/null: not a serial port.";
    QTest::newRow("the window's verdict") << end(1, false, "update-flash", "Update flash is fail.....")
                                          << "Update flash is fail.....";
    QTest::newRow("refused before any action") << end(2, false, "", "", "the image is empty") << "the image is empty";
    QTest::newRow("killed after the grace period") << end(128 + SIGKILL, false, "update-flash", "")
                                                   << "killed: vqprog did not stop within 10 s";
    BoardEnd closing = end(128 + SIGKILL, false, "update-flash", "");
    closing.stopped = true;  // the station's close stopped it, then had to kill it
    QTest::newRow("killed at the station's close") << closing << "killed: vqprog did not stop within 10 s";
}

void StationTest::failure_reasons()
{
    QFETCH(BoardEnd, end);
    QFETCH(QString, reason);
    QCOMPARE(failure_reason(end), reason);
}

void StationTest::setup_file_data()
{
    QTest::addColumn<QByteArray>("ini");
    // The child's arguments after --json --port P and the sockets taken, or the error.
    QTest::addColumn<QString>("outcome");
    QTest::newRow("in order, paths from the file's folder")
        << QByteArray("[station]\nname=b2\nrecords=\"postgresql://vq@db/line?connect_timeout=5,x\"\n"
                      "[actions]\n10=check-flash\n2=update-flash img/a b.bin\n1=update-mcu m.bin\n"
                      "[link]\nbaud=230400\n[production]\nskip_unchanged=true\nstamps=flash@0x10:dec:4, mcu@0:u32le\n"
                      "serial_counter=c\nserial_start=7\n")
        << "--baud 230400 --skip-unchanged --records postgresql://vq@db/line?connect_timeout=5,x --station b2 "
           "--serial-counter c --serial-start 7 --stamp flash@0x10:dec:4 --stamp mcu@0:u32le "
           "update-mcu DIR/m.bin update-flash DIR/img/a b.bin check-flash; usb simulated";
    QTest::newRow("counter from 0, sockets without usb_adapters")
        << QByteArray("[production]\nserial_counter=c\nserial_start=0\n[sockets]\nsimulated=false\nports=/dev/ttyS1\n")
        << "--serial-counter c --serial-start 0; usb /dev/ttyS1";
    QTest::newRow("not an action") << QByteArray("[actions]\n1=erase\n")
                                   << "DIR/s.ini: [actions] 1=erase: not an action "
                                      "(update-mcu, update-flash, check-flash, check-mcu, run)";
    QTest::newRow("an update without its image") << QByteArray("[actions]\n1=update-flash\n")
                                                 << "DIR/s.ini: [actions] 1=update-flash: needs an image file";
    QTest::newRow("presence neither port nor answer")
        << QByteArray("[sockets]\npresence=poll\n") << "DIR/s.ini: [sockets] presence=poll: not port or answer";
    QTest::newRow("a port's own presence misspelt")
        << QByteArray("[sockets]\nports=/dev/ttyUSB0 presence=answer, /dev/ttyUSB1 answer\n")
        << "DIR/s.ini: [sockets] ports: /dev/ttyUSB1 answer: after a port only presence=port or presence=answer";
    // DIR/by-path is a link to /dev/ttyS0, as a /dev/serial/by-path name is to its adapter.
    QTest::newRow("a by-path name and its own device") << QByteArray("[sockets]\nports=DIR/by-path, /dev/ttyS0\n")
                                                       << "DIR/s.ini: [sockets] ports: DIR/by-path and /dev/ttyS0 "
                                                          "are the same port";
    QTest::newRow("a FIFO for a setup file") << QByteArray("FIFO") << "DIR/s.ini: not a plain file";
}

void StationTest::setup_file()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, outcome);
    QTemporaryDir dir;
    QVERIFY(QFile::link("/dev/ttyS0", dir.filePath("by-path")));
    ini.replace("DIR", dir.path().toUtf8());
    QFile f(dir.filePath("s.ini"));
    if (ini == "FIFO")
        QCOMPARE(::mkfifo(qPrintable(f.fileName()), 0600), 0);
    else
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(ini) == ini.size());
    f.close();
    StationSetup setup;
    QString error;
    const QString got = load_station_setup(f.fileName(), &setup, &error)
                            ? station_child_arguments(setup, "P").mid(3).join(' ') + ";" +
                                  (setup.usb_adapters ? " usb" : "") + (setup.simulated ? " simulated" : "") +
                                  (setup.ports.isEmpty() ? "" : " " + setup.ports.join(' '))
                            : error;
    QCOMPARE(got, outcome.replace("DIR", dir.path()));
}

// A snapshot is taken of a file that did not change around its read, nor
// just before it: a writer between two of its writes leaves it alone too.
void StationTest::copy_is_whole_data()
{
    QTest::addColumn<FileState>("before");
    QTest::addColumn<FileState>("after");
    QTest::addColumn<qint64>("unchanged_ms");  // as the station has seen it
    QTest::addColumn<bool>("whole");
    const QDateTime now = QDateTime::currentDateTime();
    const FileState old{524288, now.addSecs(-60)};
    const FileState fresh{524288, now.addMSecs(-200)};
    const FileState ahead{524288, now.addSecs(30)};  // a file server's clock running ahead
    QTest::newRow("left alone") << old << old << qint64(0) << true;
    QTest::newRow("grew during the read") << FileState{196608, old.modified} << old << qint64(0) << false;
    QTest::newRow("rewritten to the same size") << old << FileState{524288, now.addMSecs(-10)} << qint64(0) << false;
    QTest::newRow("written a moment ago") << fresh << fresh << qint64(200) << false;
    QTest::newRow("stamped ahead, seen unchanged for a while") << ahead << ahead << qint64(1500) << true;
    QTest::newRow("stamped ahead, just seen") << ahead << ahead << qint64(0) << false;
    QTest::newRow("no such file") << FileState{} << FileState{} << qint64(5000) << false;
}

void StationTest::copy_is_whole()
{
    QFETCH(FileState, before);
    QFETCH(FileState, after);
    QFETCH(qint64, unchanged_ms);
    QFETCH(bool, whole);
    QCOMPARE(::copy_is_whole(before, after, QDateTime::currentDateTime(), unchanged_ms), whole);
}

// Whole numbers at even steps, never 0,1,2,3,5 or 0,9,18,27,37.
void StationTest::chart_count_axis_data()
{
    QTest::addColumn<int>("largest");
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("labels");  // as the value axis spreads its ticks from 0 to the top
    QTest::newRow("no board") << 0 << 1 << 1 << "0 1";
    QTest::newRow("4") << 4 << 4 << 1 << "0 1 2 3 4";
    QTest::newRow("5") << 5 << 6 << 2 << "0 2 4 6";
    QTest::newRow("37") << 37 << 40 << 10 << "0 10 20 30 40";
    QTest::newRow("130") << 130 << 150 << 50 << "0 50 100 150";
}

void StationTest::chart_count_axis()
{
    QFETCH(int, largest);
    QFETCH(int, top);
    QFETCH(int, step);
    QFETCH(QString, labels);
    const CountAxis axis = count_axis(largest);
    QCOMPARE(axis.top, top);
    QCOMPARE(axis.step, step);
    QVERIFY(axis.ticks() <= 5 && axis.top % axis.step == 0);
    QStringList shown;
    for (int i = 0; i < axis.ticks(); ++i)
        shown << QString::number(double(axis.top) * i / qMax(1, axis.ticks() - 1), 'g', 4);
    QCOMPARE(shown.join(' '), labels);
}

// A board's presence from its socket's polls: "a" answered, "s" silent,
// "h" held by another program, ":N" the round trip the poll measured. Steps:
// "-" nothing, "start", "ready" (waits for its click), "gone".
void StationTest::presence_debounce_data()
{
    QTest::addColumn<bool>("first_look");
    QTest::addColumn<QString>("polls");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("wait_ms");  // the next poll's reply wait, from 100 up to 1500
    QTest::newRow("answering on: started once") << false << "a a a" << "start - -" << 100;
    QTest::newRow("a reply missing now and then is no removal") << false << "a s a s s a s" << "start - - - - - -" << 100;
    QTest::newRow("gone after three silent polls, then the next board")
        << false << "a s s s a" << "start - - gone start" << 100;
    QTest::newRow("a held port says nothing") << false << "a h h h s s s" << "start - - - - - gone" << 100;
    QTest::newRow("answering at the station's first look") << true << "a a s s s a" << "ready - - - gone start"
                                                           << 100;
    QTest::newRow("silent at the first look, then answering") << true << "s a" << "- start" << 100;
    QTest::newRow("an empty socket") << false << "s s s s" << "- - - -" << 100;
    QTest::newRow("300 ms away") << false << "s:300 a:300" << "- start" << 400;
    QTest::newRow("a poll without a measure keeps the wait") << false << "a:300 a" << "start -" << 400;
    QTest::newRow("nearer again, the wait shrinks gently") << false << "a:300 a:100" << "start -" << 350;
    QTest::newRow("bounded by the Open wait") << false << "s:2000" << "-" << 1500;
}

void StationTest::presence_debounce()
{
    QFETCH(bool, first_look);
    QFETCH(QString, polls);
    QFETCH(QString, steps);
    QFETCH(int, wait_ms);
    PresenceTrack track;
    QStringList got;
    for (const QString& poll : polls.split(' ')) {
        const PortPresence p = poll[0] == 'a'   ? PortPresence::Answered
                               : poll[0] == 'h' ? PortPresence::Held
                                                : PortPresence::Silent;
        const PresenceStep step = presence_step(track, p, poll.section(':', 1).toInt(), first_look);
        got << QStringList{"-", "start", "ready", "gone"}.value(int(step));
    }
    QCOMPARE(got.join(' '), steps);
    QCOMPARE(presence_reply_wait(track, 100, 1500), wait_ms);
}

// Two names of one port refuse the setup, a malformed URL with vqprog's own
// reason ("PARSER": what parse_port_url says of the first name). DIR/by-path
// is a link to /dev/ttyS0. Host names resolve as the table's second column says.
void StationTest::one_port_per_socket_data()
{
    QTest::addColumn<QString>("names");
    QTest::addColumn<QString>("resolved");
    QTest::addColumn<QString>("problem");
    const QString same = "%1 and %2 are the same port";
    const auto row = [&](const char* tag, const QString& a, const QString& b, const QString& resolved, bool one) {
        QTest::newRow(tag) << a + " " + b << resolved << (one ? same.arg(a, b) : QString());
    };
    const QString local = "localhost=127.0.0.1,::1";
    row("scheme case", "rfc2217://127.0.0.1:4003", "RFC2217://127.0.0.1:4003", "", true);
    row("a trailing slash", "rfc2217://127.0.0.1:4003", "rfc2217://127.0.0.1:4003/", "", true);
    row("a host name and its address", "rfc2217://localhost:4003", "rfc2217://127.0.0.1:4003", local, true);
    row("a host name and its IPv6 address", "socket://[::1]:4003", "socket://LOCALHOST:4003", local, true);
    row("two ports of one host", "rfc2217://fixture1:4001", "rfc2217://fixture1:4002", "", false);
    row("a host not resolved is its text", "rfc2217://fixture9:4001", "rfc2217://10.0.0.9:4001", "", false);
    row("other options, one TCP port", "rfc2217+tls://h:4001?ca=a.pem", "rfc2217+tls://h:4001?ca=b.pem", "", true);
    row("the same options", "rfc2217+tls://h:4001?ca=a.pem", "RFC2217+TLS://H:4001/?ca=a.pem", "", true);
    row("another scheme, one TCP port", "rfc2217://h:4001", "socket://h:4001", "", true);
    row("a by-path link and its device", "DIR/by-path", "/dev/ttyS0", "", true);
    for (const char* bad : {"rfc2217://127.0.0.1", "socket://127.0.0.1:99999", "rfc2217://[::1]", "rfc2217://:4003",
                            "rfc2217://127.0.0.1:4003/x"})
        QTest::newRow(bad) << QString(bad) + " /dev/ttyS0" << "" << "PARSER";
}

void StationTest::one_port_per_socket()
{
    QFETCH(QString, names);
    QFETCH(QString, resolved);
    QFETCH(QString, problem);
    QTemporaryDir dir;
    QVERIFY(QFile::link("/dev/ttyS0", dir.filePath("by-path")));
    const QStringList ports = names.replace("DIR", dir.path()).split(' ');
    QHash<QString, QStringList> addresses;
    if (!resolved.isEmpty())
        addresses.insert(resolved.section('=', 0, 0), resolved.section('=', 1).split(','));
    if (problem == "PARSER") {
        problem = parse_port_url(ports[0]).problem;
        QVERIFY(!problem.isEmpty());
    }
    QCOMPARE(same_port_problem(ports, addresses), problem.replace("DIR", dir.path()));
}

namespace {
// Drops CAP_LEASE from this thread's effective set while it lives, so a file
// of another user refuses its lease as it does for a station not run as root.
struct WithoutLeaseCapability {
    WithoutLeaseCapability()
    {
        ::syscall(SYS_capget, &header, data);
        saved[0] = data[0], saved[1] = data[1];
        data[CAP_LEASE / 32].effective &= ~(1u << (CAP_LEASE % 32));
        ::syscall(SYS_capset, &header, data);
    }
    ~WithoutLeaseCapability() { ::syscall(SYS_capset, &header, saved); }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{}, saved[2]{};
};
}  // namespace

// An image is taken only once no process has it open for writing; where a
// lease is refused (another user's file), by the quiet period after its
// last write.
void StationTest::image_lease_rule_data()
{
    QTest::addColumn<QString>("writer");
    QTest::addColumn<QString>("look");  // status and rule
    QTest::newRow("a writer holding it open") << "open" << "being written, lease";
    QTest::newRow("a writer that closed it a moment ago") << "closed" << "being written, lease";
    QTest::newRow("a writer that closed it, left alone") << "closed, old" << "taken, lease";
    QTest::newRow("another user's file, just written") << "other user" << "being written, quiet period";
    QTest::newRow("another user's file, left alone") << "other user, old" << "taken, quiet period";
}

void StationTest::image_lease_rule()
{
    QFETCH(QString, writer);
    QFETCH(QString, look);
    QTemporaryDir dir;
    const QByteArray bytes = pattern(300000, 4);
    QFile file(dir.filePath("image.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush());
    if (writer != "open")
        file.close();
    if (writer.endsWith("old")) {
        const utimbuf old{::time(nullptr) - 60, ::time(nullptr) - 60};
        QCOMPARE(::utime(qPrintable(file.fileName()), &old), 0);
    }
    std::unique_ptr<WithoutLeaseCapability> no_cap;
    if (writer.startsWith("other user")) {
        if (::geteuid() != 0)
            QSKIP("makes another user's file as root");
        QCOMPARE(::chown(qPrintable(file.fileName()), 65534, 65534), 0);
        no_cap = std::make_unique<WithoutLeaseCapability>();
    }
    const ImageLook l = look_at_image(file.fileName(), 1 << 24);
    no_cap.reset();
    const QString status = QStringList{"taken", "being written", "problem"}.value(l.status);
    QCOMPARE(status + ", " + (l.lease ? "lease" : "quiet period"), look);
    if (l.status == ImageLook::Taken)
        QCOMPARE(l.bytes, bytes);
}

// The wait for an image's writer counts from the first look that found it
// unfinished: one rewritten at every look still ends after 10 s.
// "T:u" unfinished at T ms, "T:s" settled; verdicts W(ait), T(ake), G(ive up).
void StationTest::image_wait_clock_data()
{
    QTest::addColumn<QString>("looks");
    QTest::addColumn<QString>("verdicts");
    QString rewritten, waits;
    for (int t = 0; t <= 10000; t += 250) {
        rewritten += QString(" %1:u").arg(t + 40);
        waits += t < 10000 ? " W" : " G";
    }
    QTest::newRow("rewritten at every look") << rewritten.mid(1) << waits.mid(1);
    QTest::newRow("written within the limit") << "0:u 5000:u 5250:s" << "W W T";
    QTest::newRow("a later writer gets its own 10 s") << "0:u 100:s 20000:u 29000:u 30000:u" << "W T W W G";
}

void StationTest::image_wait_clock()
{
    QFETCH(QString, looks);
    QFETCH(QString, verdicts);
    ImageWaitClock clock;
    QStringList got;
    for (const QString& look : looks.split(' '))
        got << QString("TWG").at(clock.look(look.section(':', 0, 0).toLongLong(), look.endsWith('s')));
    QCOMPARE(got.join(' '), verdicts);
}

// Boards wait while the setup's records are being opened. "n" a new setup,
// "p" its target prepared, "P"/"X" a prepare answered ok/failed, "r" a read answered.
void StationTest::records_gate_data()
{
    QTest::addColumn<QString>("events");
    QTest::addColumn<bool>("boards_wait");
    QTest::newRow("a stale read while a new setup's target is opened") << "n p P n p r" << true;
    QTest::newRow("the new target's answer") << "n p P n p r P" << false;
    QTest::newRow("an earlier setup's prepare answered late") << "n p n p P" << true;
    QTest::newRow("a setup without records and an old prepare") << "n p n P" << false;
    QTest::newRow("a target that failed, tried again") << "n p X p" << true;
}

void StationTest::records_gate()
{
    QFETCH(QString, events);
    QFETCH(bool, boards_wait);
    RecordsGate gate;
    for (const QString& e : events.split(' ')) {
        if (e == "n")
            gate.new_setup();
        else if (e == "p")
            gate.preparing();
        else if (e == "r")
            gate.read_answered(true);
        else
            gate.prepared(e == "P");
    }
    QCOMPARE(gate.boards_wait(), boards_wait);
}

// A hundred named sockets: the window still fits a 1280x900 screen, the
// header above the tiles.
void StationTest::hundred_sockets_fit_the_screen()
{
    Bench b;
    QStringList ports;
    for (int i = 0; i < 100; ++i)
        ports << QString("/dev/vqtest-missing-%1").arg(i);
    Station s(b, "", "simulated=false\nports=" + ports.join(", ") + "\n");
    QVERIFY(s.ok);
    QCOMPARE(s.window->sockets().size(), 100);
    s.window->resize(1280, 900);
    QVERIFY(QTest::qWaitForWindowExposed(s.window.get()));
    const QSize least = s.window->minimumSizeHint().expandedTo(s.window->minimumSize());
    QVERIFY2(least.width() <= 1280 && least.height() <= 900, qPrintable(QString("%1x%2").arg(least.width()).arg(least.height())));
    QTest::qWait(50);
    QCOMPARE(s.window->size(), QSize(1280, 900));
    QWidget* header = s.window->header();
    QVERIFY(header->isVisible());
    QVERIFY(header->mapTo(s.window.get(), QPoint(0, header->height())).y() <=
            s.window->tile_area()->mapTo(s.window.get(), QPoint(0, 0)).y());
    QVERIFY(s.window->tile(99)->width() >= TileWidget::kMinimumWidth);
    QVERIFY(s.window->tile(9)->mapTo(s.window.get(), QPoint(s.window->tile(9)->width(), 0)).x() <= 1280);
}

// What the dialog saves is what the station reads back.
void StationTest::setup_round_trip()
{
    QTemporaryDir dir;
    StationSetup s;
    s.name = "bench,3";
    s.records = dir.filePath("line.db");
    s.actions = {{"update-flash", dir.filePath("f.bin")}, {"run", ""}};
    s.new_rate = 921600;
    s.stamps = QStringList{"flash@0x1000:dec:10", "mcu@0x200:mac:02:00:5E:00:00:00"};
    s.serial_counter = "boards";
    s.serial_start = 1000;
    s.usb_adapters = false;
    s.ports = QStringList{"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "/dev/ttyUSB1"};
    s.presence = "answer";
    s.port_presence.insert(s.ports[0], "port");
    QString error;
    StationSetup back;
    QVERIFY(save_station_setup(dir.filePath("s.ini"), s, &error));
    QVERIFY2(load_station_setup(dir.filePath("s.ini"), &back, &error), qPrintable(error));
    QCOMPARE(station_child_arguments(back, "P"), station_child_arguments(s, "P"));
    QCOMPARE(back.ports, s.ports);
    QVERIFY(!back.usb_adapters && back.simulated);
    QVERIFY(!socket_presence_by_answer(back, s.ports[0]));
    QVERIFY(socket_presence_by_answer(back, s.ports[1]) && socket_presence_by_answer(back, "sim:1-0.port"));
}

// The Setup button's dialog, filled and accepted: the file it names is
// written and becomes the station's setup.
void StationTest::setup_dialog_writes_the_file()
{
    QTemporaryDir dir;
    StationWindow w(StationEnvironment{VQPROG_PATH, dir.filePath("published")});
    const QString file = dir.filePath("new.ini");
    QTimer::singleShot(0, [&] {
        auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY(d);
        d->findChild<QLineEdit*>("file")->setText(file);
        d->findChild<QLineEdit*>("name")->setText("bench-9");
        d->findChild<QPlainTextEdit*>("actions")->setPlainText("update-flash app.bin\ncheck-flash\n");
        d->findChild<QCheckBox*>("usb_adapters")->setChecked(false);
        d->accept();
    });
    QTest::mouseClick(w.findChild<QPushButton*>("setup"), Qt::LeftButton);
    QCOMPARE(station_child_arguments(w.setup(), "P").mid(3),
             QStringList({"--station", "bench-9", "update-flash", dir.filePath("app.bin"), "check-flash"}));
    QVERIFY(!w.setup().usb_adapters);
    StationSetup back;
    QString error;
    QVERIFY(load_station_setup(file, &back, &error));
    QCOMPARE(station_child_arguments(back, "P"), station_child_arguments(w.setup(), "P"));
}

// Two stations' runs interleaved: each board is its identification and the
// records after it on that port, or its serial number, closed by its
// "board" record. A board whose vqprog was killed has none: it did not pass.
void StationTest::boards_from_records()
{
    const QDateTime t0 = QDateTime::currentDateTimeUtc().addSecs(-600);
    auto rec = [&](const char* station, const char* port, const char* action, const char* verdict, qint64 serial,
                   int at) {
        BoardRecord r;
        r.station = station, r.port = port, r.action = action, r.verdict = verdict, r.serial = serial;
        r.time_utc = t0.addSecs(at);
        return r;
    };
    const QVector<BoardRecord> records{
        rec("a", "p1", "identify", "ok", 1, 0),         rec("b", "p1", "identify", "ok", -1, 1),
        rec("a", "p1", "update-flash", "ok", 1, 2),     rec("b", "p1", "update-flash", "failed", -1, 3),
        rec("a", "p1", "board", "ok", 1, 3),            rec("b", "p1", "board", "failed", -1, 3),
        rec("a", "p1", "update-flash", "device gone", 2, 4),  // a new number, stamping failed before identify
        rec("a", "p1", "board", "device gone", 2, 4),
        rec("b", "p1", "identify", "ok", -1, 5),        rec("b", "p1", "check-flash", "ok", -1, 6),
        rec("b", "p1", "board", "ok", -1, 6),
        // Killed after its update: no check-flash, no board record.
        rec("a", "p2", "identify", "ok", 3, 6),         rec("a", "p2", "update-flash", "ok", 3, 6),
    };
    const QVector<BoardOutcome> boards = boards_of(records);
    QCOMPARE(boards.size(), 5);
    QVERIFY(boards[0].ok && boards[0].serial == 1);
    QVERIFY(!boards[1].ok && boards[1].verdict == "failed" && boards[1].station == "b");
    QCOMPARE(boards[2].verdict, QString("device gone"));
    QVERIFY(boards[3].ok && boards[3].time_utc == t0.addSecs(6));
    QVERIFY(!boards[4].ok && boards[4].ended && boards[4].verdict == kUnfinished);
    const StationTally t = tally_of(boards, t0, t0.addSecs(7));
    QVERIFY(t.passed == 2 && t.failed == 3 && t.last_hour == 5 && t.yield() == 40.0);
    const QVector<SlotCount> halves = slots_of(boards, t0.addSecs(7), 16, 30);
    QVERIFY(halves.last().passed == 2 && halves.last().failed == 3 && halves.first().passed == 0);
    // While its vqprog runs, the same records are a board not yet ended.
    const QVector<BoardOutcome> running = boards_of(records, [](const BoardOutcome& b) { return b.port == "p2"; });
    QVERIFY(!running[4].ended);
    const StationTally now = tally_of(running, t0, t0.addSecs(7));
    QVERIFY(now.passed == 2 && now.failed == 2);
}

// Socket 1 is a by-path link (followed to whatever adapter is behind it
// now), socket 3 a device by name; other adapters and simulators come after.
void StationTest::sockets_of_a_setup()
{
    QTemporaryDir by_path;
    const QString first = by_path.filePath("usb-0:1.2:1.0-port0");
    QVERIFY(QFile::link("/dev/ttyUSB3", first));
    QVERIFY(QFile::link("/dev/ttyUSB9", by_path.filePath("usb-0:1.4:1.0-port0")));  // no adapter there now
    StationSetup setup;
    setup.ports = QStringList{first, by_path.filePath("usb-0:1.4:1.0-port0"), "/dev/ttyS0"};
    const QStringList devices{"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyUSB3"};
    const QList<PublishedPort> sims{{"101-0.port", "/dev/pts/8"}};
    auto present = [&] {
        QStringList out;
        for (const PresentSocket& p : present_sockets(setup, devices, sims))
            out << p.key + "=" + p.device;
        return out;
    };
    const QStringList named{first + "=/dev/ttyUSB3", "/dev/ttyS0=/dev/ttyS0"};
    QCOMPARE(present(), named + QStringList({"/dev/ttyUSB0=/dev/ttyUSB0", "sim:101-0.port=/dev/pts/8"}));
    setup.usb_adapters = setup.simulated = false;
    QCOMPARE(present(), named);
    // A remote socket's tile is named by its host and TCP port, not by what
    // ends its URL (a certificate file, a trailing slash).
    setup.ports = QStringList{"rfc2217+tls://fixture1:4001?ca=/etc/line/ca.pem", "RFC2217://[::1]:4002/"};
    QStringList labels;
    for (const PresentSocket& p : present_sockets(setup, devices, sims))
        labels << p.label;
    QCOMPARE(labels, QStringList({"fixture1:4001", "[::1]:4002"}));
}

void StationTest::four_boards_one_after_another()
{
    Bench b;
    Station s(b);
    QVERIFY(s.ok);
    QByteArray expected = image();
    for (int i = 0; i < 4; ++i) {
        if (i == 2) {  // rewritten between two boards: the next one takes it, the header says so
            expected = pattern(40000, 9);
            b.write("image.bin", expected);
        }
        QVERIFY(b.add());
        QVERIFY2(s.ends_in(i, TileState::Pass), qPrintable(s.socket(i) ? s.socket(i)->detail() : "no tile"));
        QCOMPARE(b.flash_of(i, expected.size()), expected);
    }
    QVERIFY(s.window->images_label()->text().contains(hex32_text(crc(expected))));
    QCOMPARE(s.window->sockets().size(), 4);
    QCOMPARE(s.log_of(3).count("Update flash is OK!!!!!!"), 1);  // each board its own log
    for (int i = 0; i < 4; ++i)
        QCOMPARE(TileWidget::state_word(*s.socket(i)), QString("PASS"));
    // Each number comes from the station's next read of the records.
    const auto sn = [&](int i) { return s.socket(i)->detail(); };
    QTRY_COMPARE_WITH_TIMEOUT((QSet<QString>{sn(0), sn(1), sn(2), sn(3)}),
                              (QSet<QString>{"SN 500", "SN 501", "SN 502", "SN 503"}), 10000);
    const QVector<BoardOutcome> boards = boards_of(records_in(b.work.filePath("line.db")));
    QCOMPARE(boards.size(), 4);
    for (const BoardOutcome& o : boards)
        QVERIFY(o.ok);
    QTRY_VERIFY_WITH_TIMEOUT(s.window->counters_label()->text().startsWith("Today: passed 4   failed 0   yield 100.0 %"),
                             10000);
}

void StationTest::socket_after_its_board_is_pulled_data()
{
    // e: the child ends, g: the station sees the port gone, b: a board is put back
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<bool>("restart");  // the board put back is for the station to start
    QTest::newRow("vqprog saw it go first") << "eg" << kExitDeviceGone << false;
    QTest::newRow("the station saw it go first") << "ge" << kExitFailed << false;
    QTest::newRow("put back while the child ends") << "gbe" << kExitFailed << true;
}

void StationTest::socket_after_its_board_is_pulled()
{
    QFETCH(QString, steps);
    QFETCH(int, exit_code);
    QFETCH(bool, restart);
    QTemporaryDir dir;
    SocketRun s("k", "socket", nullptr);
    s.board_arrived("/dev/ttyUSB0");
    ChildStart child;
    child.program = "sh";
    child.args = QStringList{"-c", QString("while [ ! -e go ]; do sleep 0.02; done; exit %1").arg(exit_code)};
    child.folder = dir.path();
    s.start(child);
    for (const QChar step : steps) {
        if (step == 'e') {
            QVERIFY(QFile(dir.filePath("go")).open(QIODevice::WriteOnly));
            QVERIFY(QTest::qWaitFor([&] { return !s.running(); }, kRunTimeoutMs));
        } else if (step == 'g') {
            s.board_removed();
        } else {
            s.board_arrived("/dev/ttyUSB1");
        }
    }
    QCOMPARE(TileWidget::state_word(s) + " " + s.detail(), QString("FAIL board removed"));
    QCOMPARE(s.take_returned_board(), restart);
}

// A board waiting for its click must not look busy, nor a passed one failed.
void StationTest::tile_colours_tell_states_apart()
{
    QSet<QRgb> colours;
    for (TileState state : {TileState::Waiting, TileState::Ready, TileState::Programming, TileState::Pass, TileState::Fail})
        colours.insert(TileWidget::state_colour(state).rgb());
    QCOMPARE(colours.size(), 5);
}

// The image rewritten in place (not replaced by a rename) while a board is
// plugged, the writer pausing longer than a second between its halves with
// the file held open: the board waits for the writer and takes the whole
// new image.
void StationTest::image_rewritten_in_place_is_waited_for()
{
    Bench b;
    Station s(b);
    QVERIFY(s.ok);
    const QByteArray next = pattern(60000, 11);
    QFile writer(b.work.filePath("image.bin"));
    QVERIFY(writer.open(QIODevice::WriteOnly));  // truncated, then written in two goes
    QVERIFY(writer.write(next.left(20000)) == 20000 && writer.flush());
    QVERIFY(b.add());
    QTest::qWait(1600);  // the board arrives meanwhile
    QVERIFY(writer.write(next.mid(20000)) == next.size() - 20000 && writer.flush());
    writer.close();
    QVERIFY2(s.ends_in(0, TileState::Pass), qPrintable(s.socket(0)->detail()));
    QCOMPARE(b.flash_of(0, next.size()), next);
    QVERIFY(s.window->images_label()->text().contains(QString("%1 bytes").arg(next.size())));
    for (const BoardRecord& r : records_in(b.work.filePath("line.db"))) {
        if (r.action == "update-flash")
            QCOMPARE(r.image_length, qint64(next.size()));
    }
}

// The board's refusal of its snapshot names the operator's file, and its
// log (the one a tile's menu opens) says the same.
void StationTest::empty_image_named_as_the_operator_gave_it()
{
    Bench b;
    Station s(b);
    QVERIFY(s.ok);
    b.write("image.bin", QByteArray());
    QVERIFY(b.add());
    QVERIFY(s.ends_in(0, TileState::Fail));
    const QString reason = b.work.filePath("image.bin") + ": the image is empty";
    QCOMPARE(s.socket(0)->detail(), reason);
    // The station's own last line is written off the window's thread, a moment after the tile.
    QTRY_VERIFY2(s.log_of(0).trimmed().endsWith("vqstation: FAIL: " + reason.toUtf8()), s.log_of(0).constData());
}

// A board never reads the operator's file itself, which a writer may have
// opened again since it was read: without room for its copy it fails.
void StationTest::image_without_its_copy_is_not_taken()
{
    Bench b;
    const QByteArray tmp = qgetenv("TMPDIR");
    QVERIFY(QDir(b.work.path()).mkpath("tmp"));
    qputenv("TMPDIR", b.work.filePath("tmp").toLocal8Bit());  // where the station keeps its copies
    Station s(b);
    qputenv("TMPDIR", tmp);
    if (tmp.isEmpty())
        qunsetenv("TMPDIR");
    QVERIFY(s.ok);
    QTRY_VERIFY(s.window->images_label()->text().contains("40000 bytes"));  // the first copy is made
    // A file where the copies' folder was: no copy can be made, even as root.
    const QStringList made = QDir(b.work.filePath("tmp")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(made.size(), 1);
    QVERIFY(QDir(b.work.filePath("tmp/" + made[0])).removeRecursively());
    b.write("tmp/" + made[0], "in the way");
    QVERIFY(QFileInfo(b.work.filePath("tmp/" + made[0])).isFile());
    b.write("image.bin", pattern(30000, 9));  // read again at the board's start
    QVERIFY(b.add());
    QVERIFY(QTest::qWaitFor([&] {
        SocketRun* r = s.socket(0);
        return r && !r->running() && (r->state() == TileState::Pass || r->state() == TileState::Fail);
    }, kRunTimeoutMs));
    QVERIFY2(s.socket(0)->state() == TileState::Fail, qPrintable(s.socket(0)->detail()));
    QVERIFY2(s.socket(0)->detail().startsWith(b.work.filePath("image.bin") + ": no copy for the boards could be kept"),
             qPrintable(s.socket(0)->detail()));
}

// A writer that keeps the image open: the board waits, then fails with the
// reason naming the file as it is named (a saved download's "%2F" too).
void StationTest::image_whose_writer_never_ends_fails_the_board()
{
    Bench b;
    Station s(b);
    QVERIFY(s.ok);
    b.write("station.ini", "[actions]\n1=update-flash fw%2Fa.bin\n[sockets]\nusb_adapters=false\n");
    QFile writer(b.work.filePath("fw%2Fa.bin"));
    QVERIFY(writer.open(QIODevice::WriteOnly) && writer.write(image()) == image().size() && writer.flush());
    QVERIFY(s.window->open_setup(b.work.filePath("station.ini")));
    QVERIFY(b.add());
    QVERIFY(s.ends_in(0, TileState::Fail));
    QCOMPARE(s.socket(0)->detail(), QString("fw%2Fa.bin kept changing for 10 s: not taken"));
}

void StationTest::board_removed_mid_update_and_back()
{
    Bench b;
    Station s(b);
    QVERIFY(s.ok);
    SimServer* sim = b.add();
    QVERIFY(sim);
    sim->unplug_after('l', 3);
    QVERIFY(s.ends_in(0, TileState::Fail));
    QCOMPARE(s.socket(0)->detail(), QString("board removed"));
    QVERIFY(QTest::qWaitFor([&] { return s.window->sockets().size() == 1 && s.socket(0)->device().isEmpty(); }));
    QCOMPARE(TileWidget::state_word(*s.socket(0)), QString("FAIL"));  // kept while the socket is empty
    const QVector<BoardRecord> removed = records_in(b.work.filePath("line.db"));
    QVERIFY(removed.size() >= 2);
    QCOMPARE(removed[removed.size() - 2].action, QString("update-flash"));
    QCOMPARE(removed[removed.size() - 2].verdict, QString("device gone"));
    QCOMPARE(removed.last().action + " " + removed.last().verdict, QString("board device gone"));

    QVERIFY(sim->replug());  // the same simulated socket, maybe another pty
    QVERIFY(s.ends_in(0, TileState::Pass));
    QCOMPARE(s.window->sockets().size(), 1);
    QCOMPARE(b.flash_of(0, image().size()), image());
}

// The pulled board's child still ending (a stand-in that ends when told)
// when the next board is put in: that board is started once it has.
void StationTest::board_back_while_its_child_ends()
{
    Bench b;
    const QString child = b.write("child.sh", "#!/bin/sh\necho run >> runs\n[ -e go ] && exit 0\n"
                                             "while [ ! -e go ]; do sleep 0.02; done\nexit 1\n");
    QVERIFY(QFile::setPermissions(child, QFile::ReadOwner | QFile::ExeOwner));
    Station s(b, "line.db", "simulated=true\n", child);
    QVERIFY(s.ok);
    SimServer* sim = b.add();
    QVERIFY(sim);
    QVERIFY(QTest::qWaitFor([&] { return s.socket(0) && s.socket(0)->running(); }));
    sim->unplug();
    QVERIFY(QTest::qWaitFor([&] { return s.socket(0)->device().isEmpty(); }));
    QVERIFY(sim->replug());
    QVERIFY(QTest::qWaitFor([&] { return !s.socket(0)->device().isEmpty(); }));
    QVERIFY(s.socket(0)->running());
    b.write("go", "");
    QVERIFY(QTest::qWaitFor([&] { return QFile(b.work.filePath("runs")).size() == 8; }, 30000));  // ran twice
    QVERIFY(s.ends_in(0, TileState::Pass));
}

void StationTest::closing_mid_run_leaves_nothing_behind()
{
    Bench b;
    b.write("big.bin", pattern(2 * 1024 * 1024, 3));
    Station s(b);
    QVERIFY(s.ok);
    b.write("station.ini", "[actions]\n1=update-flash big.bin\n[link]\nnew_rate=115200\n"
                           "[sockets]\nusb_adapters=false\n");
    QVERIFY(s.window->open_setup(b.work.filePath("station.ini")));
    SimServer* sim = b.add();
    QVERIFY(sim);
    const QString port = sim->slave_path();
    QVERIFY(Bench::reached(sim, 'l', 2));
    const qint64 pid = s.socket(0)->child_pid();
    QVERIFY(pid > 0);
    s.window->close();
    QVERIFY(QTest::qWaitFor([&] { return !s.window->isVisible(); }, 30000));
    QCOMPARE(s.window->running_boards(), 0);
    QVERIFY2(::kill(pid_t(pid), 0) != 0, "the board's vqprog is still there");
    QCOMPARE(s.socket(0)->detail(), QString("stopped: the station closed"));
    for (const char* dir : {"/var/lock", "/run/lock", "/tmp"})
        QVERIFY(!QFileInfo::exists(QString(dir) + "/LCK.." + port.mid(5).replace('/', '_')));
}

// Nobody said a board found at start is fresh: it waits for its click.
void StationTest::board_there_before_the_station_waits_for_a_click()
{
    Bench b;
    SimServer* sim = b.add();
    QVERIFY(sim);
    Station s(b);
    QVERIFY(s.ok);
    QVERIFY(s.socket(0));
    QCOMPARE(TileWidget::state_word(*s.socket(0)), QString("READY"));
    s.window->rescan_ports();  // as the next look at the ports would
    QVERIFY(!s.socket(0)->running());
    QCOMPARE(sim->with_device([](SimDevice& d) { return d.received().size(); }), 0);
    QTest::mouseClick(s.window->tile(0), Qt::LeftButton);
    QVERIFY(s.ends_in(0, TileState::Pass));
    QCOMPARE(b.flash_of(0, image().size()), image());
}

// Adapters that stay plugged in: boards are there while their boot loader
// answers. Two answer and pass; one stops answering under its update and
// fails; a board that passed and stops answering leaves its socket.
void StationTest::boards_present_while_they_answer()
{
    Bench b;
    QVector<SimServer*> sims;
    for (int i = 0; i < 3; ++i)
        sims << answering(b.add(), false);
    QHash<int, TileState> ended;  // outlives the station's sockets
    Station s(b, "line.db", "simulated=true\npresence=answer\n");
    QVERIFY(s.ok);
    QVector<SocketRun*> runs;
    for (SimServer* sim : sims)
        runs << s.socket_of(sim);
    // The board that fell silent under its update answers nothing after it either.
    QObject::connect(runs[2], &SocketRun::finished, [&sims] { answering(sims[2], false); });
    three_woken(b, s, sims, runs, ended);
    if (QTest::currentTestFailed())
        return;
    // Silent after its run: gone.
    QVERIFY(QTest::qWaitFor([&] { return runs[2]->state() == TileState::Waiting; }));

    // Still answering after its run: asked on, never started again.
    const int polls = sims[0]->with_device([](SimDevice& d) { return d.frames_of('K').size(); });
    QVERIFY(Bench::reached(sims[0], 'K', polls + 2));
    QCOMPARE(TileWidget::state_word(*runs[0]), QString("PASS"));
    QCOMPARE(s.window->running_boards(), 0);
    answering(sims[0], false);
    QVERIFY(QTest::qWaitFor([&] { return runs[0]->state() == TileState::Waiting; }));
    QCOMPARE(TileWidget::state_word(*runs[1]), QString("PASS"));
    QCOMPARE(boards_of(records_in(b.work.filePath("line.db"))).size(), 3);

    // No poll reached a board while its run had the port.
    for (SimServer* sim : sims) {
        const QVector<SimFrame> frames = sim->with_device([](SimDevice& d) { return d.frames(); });
        const auto of_run = [](const SimFrame& f) { return !is_presence_poll(f); };
        const auto first = std::find_if(frames.begin(), frames.end(), of_run);
        const auto end = std::find_if(frames.rbegin(), frames.rend(), of_run).base();
        QVERIFY(first != frames.end());
        QVERIFY2(std::all_of(first, end, of_run), "a poll reached a board during its run");
    }
}

// Sockets on a fixture host's port server, each simulated board behind its
// own ser2net over RFC 2217: found by their answer alone, as nothing on this
// machine appears when a board goes in, and recorded under their URLs.
void StationTest::remote_sockets_present_while_they_answer()
{
    Bench b;
    std::vector<std::unique_ptr<Ser2net>> servers;
    QVector<SimServer*> sims;
    QStringList urls;
    for (int i = 0; i < 4; ++i) {
        sims << answering(b.add(), false);
        servers.push_back(std::make_unique<Ser2net>());
        QString error;
        QVERIFY2(servers.back()->start(sims.last()->slave_path(), &error), qPrintable(error));
        urls << servers.back()->rfc2217_url();
    }
    QHash<int, TileState> ended;  // outlives the station's sockets
    Station s(b, "line.db", "simulated=false\npresence=answer\nports=" + urls.join(", ") + "\n");
    QVERIFY(s.ok);
    const QVector<SocketRun*> runs = s.window->sockets();  // asked through the servers
    three_woken(b, s, sims, runs, ended);
    if (QTest::currentTestFailed())
        return;
    // Silent behind a server that is still there: timed out, not removed.
    QCOMPARE(TileWidget::state_word(*runs[2]) + " " + runs[2]->detail(), QString("FAIL Time over!"));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(runs[i]->key(), urls[i]);
    for (int i = 0; i < 2; ++i)
        QCOMPARE(runs[i]->device(), urls[i]);
    // The silent board was only ever asked.
    for (const SimFrame& f : sims[3]->with_device([](SimDevice& d) { return d.frames(); }))
        QVERIFY(is_presence_poll(f));
    QCOMPARE(TileWidget::state_word(*runs[3]), QString("WAITING"));

    // One board per answering socket, under its URL, numbered as its tile says.
    QStringList recorded;
    QStringList expected{urls[0] + " " + runs[0]->detail(), urls[1] + " " + runs[1]->detail(), urls[2] + " failed"};
    for (const BoardOutcome& o : boards_of(records_in(b.work.filePath("line.db"))))
        recorded << o.port + (o.ok ? QString(" SN %1").arg(o.serial) : " failed");
    recorded.sort();
    expected.sort();
    QCOMPARE(recorded, expected);
}

// A host name and its address, found one port once the name has resolved
// (off the controller's thread): the setup is refused, its sockets gone,
// none of them asked meanwhile. Driven without a window.
void StationTest::one_port_by_its_host_name_and_address()
{
    Bench b;
    b.write("station.ini", "[sockets]\nusb_adapters=false\nsimulated=false\npresence=answer\n"
                           "ports=rfc2217://localhost:4003, rfc2217://127.0.0.1:4003/\n");
    StationController c(StationEnvironment{VQPROG_PATH, b.publish.path()});
    QSignalSpy titles(&c, &StationController::title_changed);
    QString error;
    QVERIFY2(c.open_setup(b.work.filePath("station.ini"), &error), qPrintable(error));
    QCOMPARE(c.presence()->asked(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!c.setup_ok(), 10000);
    QCOMPARE(titles.last().at(0).toString(), "No setup: " + b.work.filePath("station.ini") +
                                                 ": [sockets] ports: rfc2217://localhost:4003 and "
                                                 "rfc2217://127.0.0.1:4003/ are the same port");
    QVERIFY(c.sockets().isEmpty());
    QCOMPARE(c.presence()->asked(), 0);
}

void StationTest::remote_board_far_away_started_once_data()
{
    QTest::addColumn<int>("round_trip_ms");
    QTest::newRow("next door") << 0;
    QTest::newRow("100 ms away") << 100;
    QTest::newRow("300 ms away") << 300;
}

// A board behind ser2net, reached through a relay that adds its round trip:
// found by its answer, started once, passed, and never started again while
// it goes on answering, however often a reply misses a poll's wait.
void StationTest::remote_board_far_away_started_once()
{
    QFETCH(int, round_trip_ms);
    Bench b;
    SimServer* sim = answering(b.add(), false);
    QVERIFY(sim);
    Ser2net server;
    QString error;
    QVERIFY2(server.start(sim->slave_path(), &error), qPrintable(error));
    RelayThread relay(server.rfc2217_port, round_trip_ms / 2);
    const QString url = relay.url("rfc2217");
    Station s(b, "line.db", "simulated=false\npresence=answer\nports=" + url + "\n");
    QVERIFY(s.ok);
    SocketRun* run = s.socket(0);
    int starts = 0;
    bool was_running = false;
    connect(run, &SocketRun::changed, [&] {
        if (run->running() && !was_running)
            ++starts;
        was_running = run->running();
    });
    QVERIFY(Bench::reached(sim, 'K', 1));
    answering(sim, true);
    QVERIFY2(s.ends_in(0, TileState::Pass), qPrintable(run->detail()));
    QCOMPARE(b.flash_of(0, image().size()), image());
    // Asked on while it answers: a few more polls, no second start.
    const int polls = sim->with_device([](SimDevice& d) { return d.frames_of('K').size(); });
    QVERIFY(Bench::reached(sim, 'K', polls + 3));
    QCOMPARE(starts, 1);
    QCOMPARE(TileWidget::state_word(*run), QString("PASS"));
    QCOMPARE(boards_of(records_in(b.work.filePath("line.db"))).size(), 1);
}

// udev may make a by-path link after the port list has shown its tty: the
// socket still takes its board when the link appears.
void StationTest::by_path_link_made_after_its_tty()
{
    Bench b;
    SimServer* sim = b.add();
    QVERIFY(sim);
    QTemporaryDir by_path;
    const QString link = by_path.filePath("pci-0000:00:14.0-usb-0:3:1.0-port0");
    Station s(b, "line.db", QString("simulated=false\nports=%1\n").arg(link));
    QVERIFY(s.ok);
    QCOMPARE(s.window->sockets().size(), 1);
    QCOMPARE(TileWidget::state_word(*s.socket(0)), QString("WAITING"));
    QVERIFY(QFile::link(sim->slave_path(), link));
    QVERIFY(s.ends_in(0, TileState::Pass));
    QCOMPARE(s.socket(0)->device(), sim->slave_path());
}

void StationTest::line_view_of_two_stations()
{
    PgServer pg;
    QString error;
    if (!pg.start(&error))
        QSKIP(qPrintable(error));
    QVERIFY2(pg.create_database("line", &error), qPrintable(error));
    const QString url = pg.url("line");
    {
        const auto db = RecordsDb::open(url, RecordsDb::Access::Write, &error);
        QVERIFY2(db, qPrintable(error));
        const QVector<std::tuple<const char*, const char*, const char*>> rows{
            {"bench-1", "identify", "ok"},     {"bench-1", "board", "ok"},
            {"bench-2", "identify", "ok"},     {"bench-2", "update-flash", "failed"},
            {"bench-2", "board", "failed"},    {"bench-1", "identify", "ok"},
            {"bench-1", "board", "ok"},        {"bench-2", "identify", "ok"},
            {"bench-2", "update-flash", "ok"}, {"bench-2", "board", "ok"},
            {"bench-2", "identify", "ok"},  // its next board, still running there
        };
        for (const auto& row : rows) {
            BoardRecord r;
            r.station = std::get<0>(row), r.port = "/dev/ttyUSB0", r.action = std::get<1>(row);
            r.verdict = std::get<2>(row);
            QVERIFY2(db->add(r, &error), qPrintable(error));
        }
    }
    Bench b;
    Station s(b, url);
    QVERIFY(s.ok);
    QTableWidget* t = s.window->line_table();
    QVERIFY(QTest::qWaitFor([&] { return t->rowCount() == 2; }, 10000));
    const QStringList expected[] = {{"bench-1", "2", "0", "100.0 %"}, {"bench-2", "1", "1", "50.0 %"}};
    for (int row = 0; row < 2; ++row) {
        for (int c = 0; c < 4; ++c)
            QCOMPARE(t->item(row, c)->text(), expected[row][c]);
        QCOMPARE(t->item(row, 5)->text(), QString("ok"));  // column 4, the last board's time, is the clock's
    }
    QTRY_VERIFY_WITH_TIMEOUT(s.window->counters_label()->text().startsWith("Today: passed 2   failed 0"), 10000);
}

// The station made the file; its boards only open it. Removed, it is not
// made again by the next board, which would number from the start again.
void StationTest::records_file_removed_mid_run()
{
    Bench b;
    Station s(b);
    QVERIFY(s.ok);
    QVERIFY(b.add());
    QVERIFY(s.ends_in(0, TileState::Pass));
    const QString file = b.work.filePath("line.db");
    QVERIFY(QFile::remove(file));
    QVERIFY(b.add());
    QVERIFY(s.ends_in(1, TileState::Fail));
    QVERIFY2(s.socket(1)->detail().contains("no such file"), qPrintable(s.socket(1)->detail()));
    QVERIFY(!QFile::exists(file));
    s.window->refresh_records();
    QTRY_VERIFY_WITH_TIMEOUT(s.window->records_label()->text().startsWith("Records cannot be used: "), 10000);
    QVERIFY2(s.window->records_label()->text().contains("removed or replaced"), qPrintable(s.window->records_label()->text()));
    QVERIFY(!s.window->counters_label()->text().contains("passed"));
}

// A server that takes the connection and never answers: the window goes on
// turning its event loop, gives its board a tile, and closes at once.
void StationTest::silent_records_server()
{
    SilentServer server;
    Bench b;
    Station s(b, server.url());
    QVERIFY(s.ok);
    QCOMPARE(s.window->records_state(), StationWindow::RecordsState::Preparing);
    QVERIFY(b.add());
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest_gap = 0;
    QTimer beat;
    connect(&beat, &QTimer::timeout, [&] {
        longest_gap = qMax(longest_gap, clock.elapsed() - last);
        last = clock.elapsed();
    });
    beat.start(20);
    QTest::qWait(5000);  // past the station's first look at the records (every 4 s)
    QVERIFY2(longest_gap < 1000, qPrintable(QString("the event loop stood still for %1 ms").arg(longest_gap)));
    QCOMPARE(s.window->sockets().size(), 1);
    clock.restart();
    QVERIFY(s.window->close());
    s.window.reset();
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString("closing took %1 ms").arg(clock.elapsed())));
}

// A records call given up on the silent server leaves its thread inside the
// database driver, a presence poll may still be ending: the test ends as
// vqstation does then, without waiting for them or tearing them down.
int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    StationTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    const int code = QTest::qExec(&test, argc, argv);
    // A poll told to stop may still be ending: left to end with the process.
    if (StationController::work_left_running())
        RecordsDb::quick_exit(code);
    return RecordsDb::quick_exit_if_given_up(code);
}
#include "test_station.moc"
