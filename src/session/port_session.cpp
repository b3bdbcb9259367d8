// The session itself and its port: opening, closing, the boot sequences,
// identifying the chip, members of BootSession.

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/connect_frame.h"
#include "protocol/texts.h"
#include "serial/rates.h"
#include "session/boot_session.h"

namespace {
constexpr int kBootSettleMs = 100;  // lets the sequence leave before the port closes
constexpr int kRunSettleMs = 60;    // lets the run frame leave before the port closes
// The boot loader hands over to the application and answers nothing; a
// boot sequence goes to the application, which answers nothing either.
constexpr ReplyWait kSendOnly{0, 0, 0, false, false};
// A busy boot loader's leftovers (CRC progress reports, a queued reply) come
// well inside this of each other; a line this quiet is free for a connect.
constexpr int kBusyQuietMs = 300;
constexpr int kDrainSliceMs = 20;
}  // namespace

BootSession::BootSession(SessionSink* sink, TransportMaker maker) : sink_(sink), link_(sink, std::move(maker)) {}

BootSession::~BootSession() = default;

void BootSession::log_line(const QString& text)
{
    sink_->log_line(text);
}

void BootSession::show_error(const QString& text)
{
    sink_->error_box(QStringLiteral("Message"), text);
}

void BootSession::set_progress(int percent)
{
    sink_->progress(percent);
}

void BootSession::log_timestamp()
{
    const platform::LocalTime t = platform::local_time();
    log_line(QStringLiteral("Timer:%1:%2:%3").arg(t.hour).arg(t.minute).arg(t.second));
}

QString BootSession::chip_model_name() const
{
    if (chip_id_ == 0)
        return QString();
    if (chip_id_ == kUnknownChipId)
        return QStringLiteral("unknown");
    return model_name(model_index_of(chip_id_));
}

bool BootSession::app_in_external_flash() const
{
    return chip_model(chip_id_).app == AppStore::ExternalFlash;
}

UpdateReport BootSession::make_report(Operation operation, int code) const
{
    UpdateReport r;
    r.operation = operation;
    r.code = code;
    if (code == 0)
        r.verdict = Verdict::Passed;
    else if (link_.stop_requested())
        r.verdict = Verdict::Stopped;
    else if (link_.removed())
        r.verdict = Verdict::DeviceGone;
    else
        r.verdict = Verdict::Failed;
    r.bytes = update_bytes_;
    r.chip_id = chip_id_;
    r.chip_model = chip_model_name();
    r.flash_id = flash_id;
    r.flash_size = flash_size;
    r.flash_name = flash_name;
    return r;
}

bool BootSession::open_port(const QString& name, int rate_index)
{
    const OpenResult opened = link_.open(name, baud_rate_for_index(rate_index));
    if (opened.ok)
        return true;
    // A stop ends the open as it ends every wait: without a word.
    if (opened.stopped)
        return false;
    sink_->notice_box(QStringLiteral("Title"), QString::fromLatin1(texts::kOpenFail));
    if (!opened.failure.isEmpty())
        log_line(opened.failure);
    return false;
}

int BootSession::send_boot_sequence(const QString& name, int rate_index, const QByteArray& sequence)
{
    if (!open_port(name, rate_index))
        return operation_result::kOpenFailed;
    link_.discard_input();
    link_.set_wait_for_rest(true);
    link_.exchange(QVector<FrameOut>{FrameOut{sequence}}, kSendOnly);
    platform::sleep_ms(kBootSettleMs);
    return operation_result::kOk;
}

int BootSession::open_and_identify(const QString& name, LinkSettings* link, OpenSteps* steps)
{
    OpenSteps none;
    OpenSteps& s = steps ? *steps : none;
    set_receive_wait_ms(link->wait_ms);
    if (refuse_rate_change(name, *link))
        return operation_result::kOpenFailed;
    int result = open_at(name, *link, s);
    if (reconnect_state == kReconnectAgreed) {
        // The boot loader now listens at the New Rate. A local port is
        // opened again there; a served one stays connected (a new
        // connection would find the server's port at its configured rate)
        // and has the server move its port, confirmed before the next frame.
        const bool served = link_.is_remote() && link_.is_open();
        if (!served)
            close_port();
        link->rate_index = link->new_rate_index;
        s.rate_moved(link->rate_index);
        log_line(QStringLiteral("Reconnected with the new baud rate..."));
        if (!served) {
            result = open_at(name, *link, s);
        } else if (!link_.set_rate(baud_rate_for_index(link->rate_index))) {
            if (!link_.failure_line().isEmpty())
                log_line(link_.failure_line());
            close_port();
            result = operation_result::kOpenFailed;
        } else {
            link_.discard_input();
            const int identified = identify_chip(*link);
            s.chip_asked();
            result = identified == identify_chip_result::kOk ? operation_result::kOk : operation_result::kNoChip;
        }
    }
    reconnect_state = kReconnectNone;
    return result;
}

bool BootSession::refuse_rate_change(const QString& name, const LinkSettings& link)
{
    if (link.new_rate_index == link.rate_index || link_.changes_rate(name))
        return false;
    // The boot loader would move and the server's port could not follow:
    // the board would be left talking at a rate nobody listens at.
    sink_->notice_box(QStringLiteral("Title"), QString::fromLatin1(texts::kOpenFail));
    log_line(QStringLiteral("%1 carries bytes only and cannot change the rate: give the New Rate equal to the rate "
                            "(%2), or name the port rfc2217://")
                 .arg(name.trimmed())
                 .arg(baud_rate_for_index(link.rate_index)));
    return true;
}

int BootSession::open_at(const QString& name, const LinkSettings& link, OpenSteps& steps)
{
    if (!open_port(name, link.rate_index))
        return operation_result::kOpenFailed;
    steps.port_opened();
    connect_heard_busy_ = false;
    int identified = identify_chip(link);
    // A board whose last run was cut inside a frame (a connection dropped
    // mid-update, the next run at once) takes this connect as the rest of
    // that frame and answers nothing. Its boot loader drops the frame once
    // the line has been quiet for half a second, which the connect's own
    // wait has given it: beyond the window, a remote port's first connect
    // that heard nothing at all is made once more.
    if (identified != identify_chip_result::kOk && connect_heard_nothing_ && busy_retry_ms_ > 0 &&
        link_.is_remote() && link_.is_open() && !link_.stop_requested()) {
        log_line(QStringLiteral("No answer: connecting once more, for a boot loader left inside a frame"));
        identified = identify_chip(link);
    }
    // Otherwise only a boot loader that answered out of turn is asked again:
    // a silent local line or a chip of no catalogued model fails at once.
    QDeadlineTimer deadline(busy_retry_ms_);
    while (identified != identify_chip_result::kOk && connect_heard_busy_ && busy_retry_ms_ > 0 &&
           !deadline.hasExpired() && link_.is_open()) {
        log_line(QStringLiteral("The boot loader is still busy: connecting again when the line is quiet"));
        if (!drain_until_quiet(kBusyQuietMs, deadline))
            break;
        // Once heard busy it stays so: a boot loader still computing may let
        // the next connect go unanswered.
        identified = identify_chip(link);
    }
    steps.chip_asked();
    return identified == identify_chip_result::kOk ? operation_result::kOk : operation_result::kNoChip;
}

bool BootSession::drain_until_quiet(int quiet_ms, const QDeadlineTimer& deadline)
{
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < quiet_ms) {
        if (link_.aborted() || !link_.is_open() || deadline.hasExpired())
            return false;
        link_.pause_for_reply(kDrainSliceMs);
        if (link_.gathered() > 0 || link_.reply_ready()) {
            link_.discard_input();
            quiet.restart();
        }
    }
    return true;
}

int BootSession::identify_chip(const LinkSettings& link)
{
    chip_id_ = 0;
    int result = identify_chip_result::kNotIdentified;
    for (int i = 0; i < kChipModelCount; ++i) {
        const int connected = connect_device(kIdentifyMode, kChipModels[i].chip_id, link);
        if (connected < 0)
            break;
        if (connected == connect_result::kOk) {
            chip_id_ = kChipModels[i].chip_id;
            sink_->chip_identified(chip_id_, model_name(i));
            sink_->actions_enabled(true);
            if (reconnect_state == kReconnectAsked)
                reconnect_state = kReconnectAgreed;
            result = identify_chip_result::kOk;
            break;
        }
    }
    if (result != identify_chip_result::kOk) {
        chip_id_ = kUnknownChipId;
        sink_->chip_identified(chip_id_, chip_model_name());
    }
    // A device removed during identification stays down.
    if (port_open())
        link_.set_up();
    return result;
}

int BootSession::run_application(uint32_t start_address)
{
    link_.exchange(build_run_request(start_address), kSendOnly);
    return run_application_result::kSent;
}

int BootSession::start_application()
{
    if (refuse_closed_port())
        return operation_result::kPortClosed;
    link_.discard_input();
    const int result = run_application(kAppStartAddress);
    platform::sleep_ms(kRunSettleMs);
    return result;
}

bool BootSession::refuse_closed_port()
{
    if (port_open())
        return false;
    // After a loss that ended the waits, the port is closed because it was
    // lost: its own line said so, once.
    if (!link_.ended_by_loss())
        show_error(texts::kPleaseOpenPort);
    return true;
}
