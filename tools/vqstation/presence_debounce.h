#pragma once

// What a socket's presence polls say about its board, as a table of steps:
// a remote port's answer may miss one poll's wait and come in the next, so a
// single silent poll is no removal, and a board already started is never
// started again until it has been seen gone. The reply wait follows the
// round trip the polls measure, so a socket far away is not taken for empty.

#include "session/presence.h"

// Silent polls in a row before a board that answered counts as gone.
constexpr int kGoneAfterSilentPolls = 3;

enum class PresenceStep {
    Wait,   // nothing to do
    Start,  // a board began to answer: start it
    Ready,  // one answered at the station's first look: it waits for its click
    Gone,   // the board that answered has left the socket
};

struct PresenceTrack {
    bool present = false;  // answered and not seen gone since
    bool initial = true;   // no poll has answered or fallen silent yet
    int silent_in_row = 0;
    int round_trip_ms = 0;  // the estimate the next reply wait grows by
};

// One poll's outcome. `round_trip_ms` is the poll's own measure, 0 when it
// has none. `first_look`: the socket was there when the station started.
inline PresenceStep presence_step(PresenceTrack& t, PortPresence p, int round_trip_ms, bool first_look)
{
    if (p == PortPresence::Held)
        return PresenceStep::Wait;  // another program has the port: nothing learnt
    if (round_trip_ms > 0)  // a slow answer raises the estimate at once, a fast one lowers it gently
        t.round_trip_ms = round_trip_ms >= t.round_trip_ms ? round_trip_ms : (3 * t.round_trip_ms + round_trip_ms) / 4;
    const bool initial = t.initial && first_look;
    t.initial = false;
    if (p == PortPresence::Answered) {
        t.silent_in_row = 0;
        if (t.present)
            return PresenceStep::Wait;
        t.present = true;
        return initial ? PresenceStep::Ready : PresenceStep::Start;
    }
    if (!t.present || ++t.silent_in_row < kGoneAfterSilentPolls)
        return PresenceStep::Wait;
    t.present = false;
    t.silent_in_row = 0;
    return PresenceStep::Gone;
}

// The reply wait to ask the next poll for: the base wait, grown by the round
// trip the socket showed, bounded by the Open wait. The poll grows it again
// by what it measures as it opens: an answer late by the network's jitter
// is still in.
inline int presence_reply_wait(const PresenceTrack& t, int base_ms, int max_ms)
{
    return qMin(max_ms, base_ms + t.round_trip_ms);
}
