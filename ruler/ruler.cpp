#include "ruler.h"

RulerTick ruler_tick(quint8 &progress) {
    progress = quint8(progress + 8);
    if (progress > 192) return {true, {}}; // Text1 keeps the 24 blocks of the tick before
    return {false, QString(progress / 8, QChar(0x2588))};
}
