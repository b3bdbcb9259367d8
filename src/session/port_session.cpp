// Open, identify and Run on the link, and the boot sequences. Touches the
// link, the chip's facts and its own New Rate state.

#include "session/port_session.h"

#include <QElapsedTimer>

#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/texts.h"
#include "serial/rates.h"
#include "session/operation.h"
#include "session/session_parts.h"
#include "session/session_sink.h"

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

PortSession::PortSession(Link& link, ChipFacts& chip, const SelectedImages& images)
    : link_(link), chip_(chip), images_(images)
{
}

bool PortSession::open_port(const QString& name, int rate_index)
{
    const OpenResult opened = link_.open(name, baud_rate_for_index(rate_index));
    if (opened.ok)
        return true;
    // A stop ends the open as it ends every wait: without a word.
    if (opened.stopped)
        return false;
    link_.sink().notice_box(QStringLiteral("Title"), QString::fromLatin1(texts::kOpenFail));
    if (!opened.failure.isEmpty())
        say::line(link_, opened.failure);
    return false;
}

int PortSession::send_boot_sequence(const QString& name, int rate_index, const QByteArray& sequence)
{
    if (!open_port(name, rate_index))
        return operation_result::kOpenFailed;
    link_.discard_input();
    link_.reply().set_wait_for_rest(true);
    link_.exchange(QVector<FrameOut>{FrameOut{sequence}}, kSendOnly);
    platform::sleep_ms(kBootSettleMs);
    return operation_result::kOk;
}

int PortSession::open_and_identify(const QString& name, LinkSettings* link, OpenSteps* steps)
{
    OpenSteps none;
    OpenSteps& s = steps ? *steps : none;
    link_.reply().set_wait_ms(link->wait_ms);
    if (refuse_rate_change(name, *link))
        return operation_result::kOpenFailed;
    int result = open_at(name, *link, s);
    if (reconnect_ == Reconnect::Agreed) {
        // The boot loader now listens at the New Rate. A local port is
        // opened again there; a served one stays connected (a new
        // connection would find the server's port at its configured rate)
        // and has the server move its port, confirmed before the next frame.
        const bool served = link_.is_open() && link_.transport()->kind() != Transport::Kind::Local;
        if (!served)
            link_.close();
        link->rate_index = link->new_rate_index;
        s.rate_moved(link->rate_index);
        say::line(link_, QStringLiteral("Reconnected with the new baud rate..."));
        if (!served) {
            result = open_at(name, *link, s);
        } else if (!link_.set_rate(baud_rate_for_index(link->rate_index))) {
            if (!link_.transport()->failure_line().isEmpty())
                say::line(link_, link_.transport()->failure_line());
            link_.close();
            result = operation_result::kOpenFailed;
        } else {
            link_.discard_input();
            const int identified = identify_chip(*link);
            s.chip_asked();
            result = identified == identify_chip_result::kOk ? operation_result::kOk : operation_result::kNoChip;
        }
    }
    reconnect_ = Reconnect::None;
    return result;
}

bool PortSession::refuse_rate_change(const QString& name, const LinkSettings& link)
{
    if (link.new_rate_index == link.rate_index || link_.changes_rate(name))
        return false;
    // The boot loader would move and the server's port could not follow:
    // the board would be left talking at a rate nobody listens at.
    link_.sink().notice_box(QStringLiteral("Title"), QString::fromLatin1(texts::kOpenFail));
    say::line(link_, QStringLiteral("%1 carries bytes only and cannot change the rate: give the New Rate equal to "
                                    "the rate (%2), or name the port rfc2217://")
                         .arg(name.trimmed(), QString::number(baud_rate_for_index(link.rate_index))));
    return true;
}

int PortSession::open_at(const QString& name, const LinkSettings& link, OpenSteps& steps)
{
    if (!open_port(name, link.rate_index))
        return operation_result::kOpenFailed;
    steps.port_opened();
    heard_busy_ = false;
    int identified = identify_chip(link);
    // A board whose last run was cut inside a frame (a connection dropped
    // mid-update, the next run at once) takes this connect as the rest of
    // that frame and answers nothing. Its boot loader drops the frame once
    // the line has been quiet for half a second, which the connect's own
    // wait has given it: beyond the window, a remote port's first connect
    // that heard nothing at all is made once more.
    if (identified != identify_chip_result::kOk && heard_nothing_ && busy_retry_ms_ > 0 && link_.is_open() &&
        link_.transport()->kind() != Transport::Kind::Local && !link_.stop().requested()) {
        say::line(link_, QStringLiteral("No answer: connecting once more, for a boot loader left inside a frame"));
        identified = identify_chip(link);
    }
    // Otherwise only a boot loader that answered out of turn is asked again:
    // a silent local line or a chip of no catalogued model fails at once.
    QDeadlineTimer deadline(busy_retry_ms_);
    while (identified != identify_chip_result::kOk && heard_busy_ && busy_retry_ms_ > 0 && !deadline.hasExpired() &&
           link_.is_open()) {
        say::line(link_, QStringLiteral("The boot loader is still busy: connecting again when the line is quiet"));
        if (!drain_until_quiet(kBusyQuietMs, deadline))
            break;
        // Once heard busy it stays so: a boot loader still computing may let
        // the next connect go unanswered.
        identified = identify_chip(link);
    }
    steps.chip_asked();
    return identified == identify_chip_result::kOk ? operation_result::kOk : operation_result::kNoChip;
}

bool PortSession::drain_until_quiet(int quiet_ms, const QDeadlineTimer& deadline)
{
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < quiet_ms) {
        if (link_.aborted() || !link_.is_open() || deadline.hasExpired())
            return false;
        link_.pause_for_reply(kDrainSliceMs);
        if (link_.reply().gathered() > 0 || link_.reply().whole()) {
            link_.discard_input();
            quiet.restart();
        }
    }
    return true;
}

int PortSession::identify_chip(const LinkSettings& link)
{
    chip_.chip_id = 0;
    int result = identify_chip_result::kNotIdentified;
    reconnect_ = link.rate_index == link.new_rate_index ? Reconnect::None : Reconnect::Asked;
    for (int i = 0; i < kChipModelCount; ++i) {
        const ConnectAsk ask{kIdentifyMode, kChipModels[i].chip_id, link, uint32_t(images_.mcu_len),
                             uint32_t(images_.flash_len)};
        const int connected = connect_device(link_, chip_, ask, &heard_busy_, &heard_nothing_);
        if (connected < 0)
            break;
        if (connected == connect_result::kOk) {
            chip_.chip_id = kChipModels[i].chip_id;
            link_.sink().chip_identified(chip_.chip_id, model_name(i));
            link_.sink().actions_enabled(true);
            if (reconnect_ == Reconnect::Asked)
                reconnect_ = Reconnect::Agreed;
            result = identify_chip_result::kOk;
            break;
        }
    }
    if (result != identify_chip_result::kOk) {
        chip_.chip_id = kUnknownChipId;
        link_.sink().chip_identified(chip_.chip_id, chip_.model_name());
    }
    // A device removed during identification stays down.
    if (link_.is_open())
        link_.set_up();
    return result;
}

int PortSession::connect(ConnectMode mode, const LinkSettings& link)
{
    const ConnectAsk ask{mode, chip_.chip_id, link, uint32_t(images_.mcu_len), uint32_t(images_.flash_len)};
    return connect_device(link_, chip_, ask);
}

int PortSession::run_application(uint32_t start_address)
{
    link_.exchange(build_run_request(start_address), kSendOnly);
    return run_application_result::kSent;
}

int PortSession::start_application()
{
    if (refuse_closed_port(link_))
        return operation_result::kPortClosed;
    link_.discard_input();
    const int result = run_application(kAppStartAddress);
    platform::sleep_ms(kRunSettleMs);
    return result;
}
