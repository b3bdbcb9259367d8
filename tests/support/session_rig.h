#pragma once

// A boot session with no window: a recording sink, a real pty and a real
// QSerialPort to the simulated boot loader on a thread of its own. The
// protocol's tests run here; the window's own tests use SimSession.

#include <QSerialPort>
#include <QtTest>

#include "scripted_transport.h"
#include "serial/rates.h"
#include "serial/serial_transport.h"
#include "session/boot_session.h"
#include "sim_host.h"
#include "test_dialogs.h"

// Everything the session reports, as a front end would see it, and passed
// on to `also` (the window, for a test that listens in between). Boxes are
// declared beforehand and checked with VERIFY_BOXES, as the window's are.
class RecordingSink : public SessionSink, public BoxLedger {
public:
    void log_line(const QString& t) override { log << t; also->log_line(t); }
    void clear_log() override { log.clear(); also->clear_log(); }
    void error_box(const QString& a, const QString& b) override { box("critical", a, b); also->error_box(a, b); }
    void notice_box(const QString& a, const QString& b) override { box("information", a, b); also->notice_box(a, b); }
    void progress(int p) override
    {
        if (p != progress_value)  // as a progress bar shows them: a value again is no change
            progress_seen << p;
        progress_value = p;
        also->progress(p);
    }
    void chip_identified(uint32_t id, const QString& n) override { chip = n; also->chip_identified(id, n); }
    void flash_fields(const QString& id, const QString& size, const QString& name) override
    {
        flash = QStringList{id, size, name};
        also->flash_fields(id, size, name);
    }
    void mcu_label(const QString& t) override { mcu_label_text = t; also->mcu_label(t); }
    void flash_label(const QString& t) override { flash_label_text = t; also->flash_label(t); }
    void actions_enabled(bool on) override { actions = on; actions_reported = true; also->actions_enabled(on); }
    void port_failed(const QString& name) override
    {
        failed_port = name;
        if (also == &nobody_ && session)  // else the window ends the session, as it does
            session->mark_port_removed();
        also->port_failed(name);
    }

    BootSession* session = nullptr;
    QStringList log;
    int progress_value = -1;
    QList<int> progress_seen;
    QString chip, mcu_label_text, flash_label_text, failed_port;
    QStringList flash;
    bool actions = false, actions_reported = false;

private:
    void box(const char* kind, const QString& title, const QString& text) { shown.append({kind, title, text}); }
    NullSessionSink nobody_;

public:
    SessionSink* also = &nobody_;
};

// The session's state no front end needs but a protocol test checks.
class BootSessionTestAccess {
public:
    explicit BootSessionTestAccess(BootSession& s) : s(s) {}
    bool& rx_ready() { return s.link_.rx_ready_; }
    int& rx_len() { return s.link_.rx_len_; }
    bool& rx_wait_enabled() { return s.link_.wait_for_rest_; }
    const uint8_t* rx_buf() const { return s.link_.reply(); }
    int vcom_index() const { return s.vcom_index; }
    int& write_pacing_us() { return s.write_pacing_us; }
    int link_down() const { return s.link_.down() ? 1 : 0; }
    // The local port under the session; null while it talks over the network.
    QSerialPort* serial() const
    {
        auto* local = dynamic_cast<const SerialTransport*>(s.link_.transport());
        return local ? local->port() : nullptr;
    }
    uint32_t& run_address() { return s.run_address; }
    // Every link the session makes from now on plays `responder`; the
    // frames written to any of them are kept in the list returned.
    std::shared_ptr<QList<QByteArray>> play(ScriptedTransport::Responder responder,
                                            ScriptedTransport::Line line = {})
    {
        auto written = std::make_shared<QList<QByteArray>>();
        s.link_.set_transport_maker([responder, line, written](const QString& name) -> std::unique_ptr<Transport> {
            auto t = std::make_unique<ScriptedTransport>(name, responder, written);
            t->set_line(line);
            return t;
        });
        return written;
    }
    uint32_t& chip_id() { return s.chip_id_; }
    uint32_t mcu_image_crc() const { return s.mcu_image_crc; }
    int flash_image_has_info() const { return s.flash_image_has_info; }
    uint32_t flash_image_info_crc() const { return s.flash_image_info_crc; }
    QVector<uint32_t> file_diff_info() const { return QVector<uint32_t>(s.diff_header.begin(), s.diff_header.end()); }
    int connect_device(char mode, uint32_t chip, const LinkSettings& link)
    {
        return s.connect_device(ConnectMode(mode), chip, link);
    }
    // Whether a reply, of any letter, came within the passes.
    bool wait_for_reply(int passes, int sleep_ms)
    {
        return s.link_.await_reply(ReplyWait{passes, sleep_ms, 0, false, false}) != Reply::TimedOut;
    }
    int check_range_crc(uint32_t addr, int len, uint32_t crc) { return s.Check_FlashRangeCRC(addr, len, crc); }
    int check_block_crc(uint32_t addr, int len, uint32_t crc) { return s.Check_FlashBlockCRC(addr, len, crc); }

    BootSession& s;
};

class SessionRig : public SimHost {
public:
    explicit SessionRig(const SimConfig& config = {}) : SimHost(config), session(&sink), in(session)
    {
        sink.session = &session;
    }
    ~SessionRig()
    {
        static NullSessionSink quiet;
        session.set_sink(&quiet);
        if (session.port_open())
            session.close_port();
    }

    // A test checks it: QVERIFY(r.start()).
    bool start() { return start_sim(); }

    // Open as Open Comm runs it: the simulator's port at the rate, the chip
    // identified, and again at the New Rate where the chip moved there;
    // operation_result. Equal rates unless a New Rate is given.
    int open(int rate_index = kDefaultRateIndex, int new_rate_index = -1)
    {
        link = LinkSettings{rate_index, new_rate_index < 0 ? rate_index : new_rate_index, 3};
        return session.open_and_identify(sim.slave_path(), &link);
    }
    // Open, and the log starts empty after it.
    bool open_identified(int new_rate_index = -1)
    {
        const bool ok = open(kDefaultRateIndex, new_rate_index) == 0;
        sink.log.clear();
        return ok;
    }
    UpdateOptions options(bool skip_unchanged = false) const
    {
        UpdateOptions o;
        o.link = link;
        o.skip_unchanged = skip_unchanged;
        return o;
    }

    RecordingSink sink;
    BootSession session;
    BootSessionTestAccess in;
    LinkSettings link{kDefaultRateIndex, kDefaultRateIndex, 3};
};
