// Whether a boot loader listens on a port, a member of BootSession: what a
// line station asks of a socket whose adapter never leaves, before it starts
// a board there.

#include <QElapsedTimer>

#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/connect_frame.h"
#include "serial/port_advice.h"
#include "serial/serial_transport.h"
#include "session/boot_session.h"

namespace {
constexpr int kPresenceSliceMs = 10;  // the reply flag is tested this often
}

PortPresence BootSession::boot_loader_presence(const QString& name, int rate_index, int wait_ms)
{
    renew_port();
    if (!open_port(name, rate_index, HolderLook::OpenAndAsk)) {
        const auto* local = dynamic_cast<const SerialTransport*>(transport_);
        return local && local->held() ? PortPresence::Held : PortPresence::Silent;
    }
    // Open's first connect, at the base rate and asking for no other one:
    // a board that answers is left at the rate its own run will open at.
    // Any model's boot loader answers a connect, the signature only says
    // which model it is, so one connect is enough.
    const QByteArray request = build_connect_request(kIdentifyMode, connect_nonce(platform::local_time()),
                                                     kChipModels[0].chip_id, kNoBaudChange, 0, 0);
    const ReplyWait wait{qMax(1, wait_ms / kPresenceSliceMs), kPresenceSliceMs, 'K', true, false};
    rx_wait_enabled = 1;
    const bool answered = exchange(request, wait) == Reply::Ok;
    if (port_open())
        close_port();
    return answered ? PortPresence::Answered : PortPresence::Silent;
}

namespace {
class PresenceSink : public NullSessionSink {
public:
    BootSession* session = nullptr;
    void port_failed(const QString&) override
    {
        if (session)
            session->mark_port_removed();
    }
};
}  // namespace

PresenceAnswer ask_presence(const PresenceAsk& ask, const std::atomic<bool>& stop)
{
    // Until the link is a plain pull: a session of its own on the caller's thread.
    PresenceAnswer answer;
    if (stop.load())
        return answer;
    PresenceSink sink;
    BootSession session(&sink);
    sink.session = &session;
    QElapsedTimer held;
    held.start();
    answer.presence = session.boot_loader_presence(ask.port, ask.rate_index, ask.reply_wait_ms);
    answer.held_ms = answer.presence == PortPresence::Held ? 0 : int(held.elapsed());
    return answer;
}
