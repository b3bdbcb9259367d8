#pragma once

// A boot session with no window: a recording sink, a real pty and a real
// QSerialPort to the simulated boot loader on a thread of its own. The
// protocol's tests run here; the window's own tests use SimSession.

#include <QSerialPort>
#include <QtTest>

#include "scripted_transport.h"
#include "serial/rates.h"
#include "protocol/frame.h"
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
        if (also == &nobody_ && link)  // else the window ends the session, as it does
            link->mark_down();
        also->port_failed(name);
    }

    Link* link = nullptr;  // ended as a removal when its port fails
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

// The real transport a port's name asks for, with bytes a test puts in
// front of what the line brings: a partial reply an earlier command left
// behind, as the line would have left it.
class TappedTransport : public Transport {
    // A call of the real one; what it found gone is gone here too.
    template <class F>
    auto through(F f)
    {
        InCall call(*this);
        auto result = f();
        if (real_->gone())
            mark_gone(real_->failure_line());
        return result;
    }

public:
    explicit TappedTransport(const QString& name) : Transport(name), real_(make_transport(name))
    {
        // Gone at idle: heard through the real one, passed on.
        real_->on_gone([this] { mark_gone(real_->failure_line()); });
    }

    void put(const QByteArray& bytes) { extra_ += bytes; }
    const Transport& real() const { return *real_; }

    Kind kind() const override { return real_->kind(); }
    OpenResult open(const OpenRequest& r) override { return through([&] { return real_->open(r); }); }
    bool changes_rate() const override { return real_->changes_rate(); }
    bool set_rate(int rate, const StopToken& stop) override
    {
        const bool moved = through([&] { return real_->set_rate(rate, stop); });
        failure_ = real_->failure_line();
        return moved;
    }
    bool is_open() const override { return real_->is_open(); }
    void close() override
    {
        extra_.clear();
        real_->close();
    }
    qint64 write(const QByteArray& bytes) override { return through([&] { return real_->write(bytes); }); }
    bool wait_written(int ms) override { return through([&] { return real_->wait_written(ms); }); }
    qint64 bytes_available() override
    {
        return extra_.size() + through([&] { return real_->bytes_available(); });
    }
    bool wait_for_bytes(int ms) override { return through([&] { return real_->wait_for_bytes(ms); }); }
    QByteArray read_all() override
    {
        return std::exchange(extra_, QByteArray()) + through([&] { return real_->read_all(); });
    }
    void discard() override
    {
        extra_.clear();
        real_->discard();
    }

private:
    std::unique_ptr<Transport> real_;
    QByteArray extra_;
};

// What a protocol test reads of a session, through its public face, and
// the few things it does to it from outside: a script instead of a line, a
// partial reply left on the line.
class SessionProbe {
public:
    explicit SessionProbe(BootSession& s) : s(s) {}
    bool rx_ready() const { return s.link().reply().whole(); }
    int rx_len() const { return s.link().reply().gathered(); }
    bool rx_wait_enabled() const { return s.link().reply().waits_for_rest(); }
    const uint8_t* rx_buf() const { return s.link().reply().bytes(); }
    int vcom_index() const { return s.chip().vcom ? 1 : 0; }
    int link_down() const { return s.link().down() ? 1 : 0; }
    // The local port under the session; null while it talks over the network.
    QSerialPort* serial() const
    {
        const Transport* t = s.link().transport();
        if (auto* tapped = dynamic_cast<const TappedTransport*>(t))
            t = &tapped->real();
        auto* local = dynamic_cast<const SerialTransport*>(t);
        return local ? local->port() : nullptr;
    }
    uint32_t run_address() const { return s.images().run_address; }
    uint32_t mcu_image_crc() const { return s.images().mcu_crc; }
    int flash_image_has_info() const { return s.images().flash_has_info ? 1 : 0; }
    uint32_t flash_image_info_crc() const { return s.images().flash_info_crc; }
    QVector<uint32_t> file_diff_info() const
    {
        return QVector<uint32_t>(s.images().diff_header.begin(), s.images().diff_header.end());
    }
    // Whether a reply, of any letter, came within the passes.
    bool wait_for_reply(int passes, int sleep_ms)
    {
        return s.link().await_reply(ReplyWait{passes, sleep_ms, 0, false, false}) != Reply::TimedOut;
    }
    // A connect alone on the session's link, as an update starts with one:
    // what it writes of the chip goes to `connected`, seeded with what the
    // session knows.
    int connect_device(char mode, uint32_t chip_id, const LinkSettings& link)
    {
        if (!seeded_) {
            connected = s.chip();
            seeded_ = true;
        }
        return ::connect_device(s.link(), connected, ConnectAsk{ConnectMode(mode), chip_id, link});
    }
    ChipFacts connected;
    // The flash CRC checks alone, on the session's link, with what it knows.
    int check_range_crc(uint32_t addr, int len, uint32_t crc)
    {
        ChipFacts chip = s.chip();
        FlashCommands flash(s.link(), chip, s.images());
        return flash.Check_FlashRangeCRC(addr, len, crc);
    }
    int check_block_crc(uint32_t addr, int len, uint32_t crc)
    {
        ChipFacts chip = s.chip();
        FlashCommands flash(s.link(), chip, s.images());
        return flash.Check_FlashBlockCRC(addr, len, crc);
    }

    BootSession& s;

private:
    bool seeded_ = false;
};

class SessionRig : public SimHost {
public:
    explicit SessionRig(const SimConfig& config = {})
        : SimHost(config),
          session(&sink,
                  [this](const QString& name) -> std::unique_ptr<Transport> {
                      auto t = std::make_unique<TappedTransport>(name);
                      tap = t.get();
                      return t;
                  }),
          in(session)
    {
        sink.link = &session.link();
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
    // `len` bytes of a reply left behind on the open port and gathered, as
    // a command cut short leaves them; a whole reply not taken first, where asked.
    void leave_partial_reply(int len, bool whole_reply_first = false)
    {
        if (whole_reply_first) {
            tap->put(QByteArray(kReplyLen, 'x'));
            session.link().pump();
        }
        tap->put(QByteArray(len, 'x'));
        session.link().pump();
    }
    UpdateOptions options(bool skip_unchanged = false) const
    {
        UpdateOptions o;
        o.link = link;
        o.skip_unchanged = skip_unchanged;
        return o;
    }

    RecordingSink sink;
    TappedTransport* tap = nullptr;  // of the link open now
    BootSession session;
    SessionProbe in;
    LinkSettings link{kDefaultRateIndex, kDefaultRateIndex, 3};
};
