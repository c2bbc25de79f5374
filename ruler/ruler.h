#pragma once

#include <QString>

// One tick of Timer1 while a reply is awaited.
struct RulerTick {
    bool timeout = false; // the 25th tick: stop the wait, CR LF into rec
    QString ruler;        // otherwise the new text of Text1
};

RulerTick ruler_tick(quint8 &progress);
