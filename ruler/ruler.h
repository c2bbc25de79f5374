#pragma once

#include <QString>

// The wait for a reply: Timer1 ticks every kTickMs, each tick grows the
// ruler by kStep, and the tick that passes kLimit ends the wait
// (the 25th: 250 ms after TEST).
namespace ruler {
inline constexpr int kTickMs = 10;
inline constexpr quint8 kStep = 8;
inline constexpr quint8 kLimit = 192;
} // namespace ruler

// One tick of Timer1 while a reply is awaited.
struct RulerTick {
    bool timeout = false; // the 25th tick: stop the wait, CR LF into rec
    QString ruler;        // otherwise the new text of Text1
};

RulerTick ruler_tick(quint8 &progress);
