#include "ruler.h"

RulerTick ruler_tick(quint8 &progress) {
    progress = quint8(progress + ruler::kStep);
    if (progress > ruler::kLimit) return {true, {}}; // Text1 keeps the blocks of the tick before
    return {false, QString(progress / ruler::kStep, QChar(0x2588))};
}
