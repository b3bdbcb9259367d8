// The presence poll: one connect on a link of its own, no session, no
// event loop. It may touch only its own link and the answer it returns.

#include "session/presence.h"

#include <QElapsedTimer>

#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/connect_frame.h"
#include "serial/rates.h"
#include "session/link.h"
#include "session/session_sink.h"

namespace {
constexpr int kPresenceSliceMs = 10;  // the reply flag is tested this often
}

PresenceAnswer ask_presence(const PresenceAsk& ask, const std::atomic<bool>& stop, const TransportMaker& maker)
{
    PresenceAnswer answer;
    if (stop.load())
        return answer;
    // Nobody watches: a link that goes away under the poll closes itself.
    NullSessionSink nobody;
    Link link(&nobody, maker);
    link.stop().also_on(&stop);
    QElapsedTimer held;
    held.start();
    const OpenResult opened = link.open(ask.port, baud_rate_for_index(ask.rate_index), HolderLook::OpenAndAsk);
    if (!opened.ok) {
        answer.presence = opened.held ? PortPresence::Held : PortPresence::Silent;
        answer.held_ms = opened.held ? 0 : int(held.elapsed());
        return answer;
    }
    answer.round_trip_ms = opened.round_trip_ms;
    // Open's first connect, at the base rate and asking for no other one:
    // a board that answers is left at the rate its own run will open at.
    // Any model's boot loader answers a connect, the signature only says
    // which model it is, so one connect is enough. Over the network the
    // reply also crosses the link there and back.
    const int wait_ms = qBound(kPresenceSliceMs, ask.reply_wait_ms + 2 * opened.round_trip_ms,
                               qMax(kPresenceSliceMs, ask.max_wait_ms));
    const QByteArray request = build_connect_request(kIdentifyMode, connect_nonce(platform::local_time()),
                                                     kChipModels[0].chip_id, kNoBaudChange, 0, 0);
    const ReplyWait wait{qMax(1, wait_ms / kPresenceSliceMs), kPresenceSliceMs, 'K', true, false};
    link.reply().set_wait_for_rest(true);
    const bool answered = link.exchange(request, wait) == Reply::Ok;
    link.close();
    answer.presence = answered && !link.stop().requested() ? PortPresence::Answered : PortPresence::Silent;
    answer.held_ms = int(held.elapsed());
    return answer;
}
