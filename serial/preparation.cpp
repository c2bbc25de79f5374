#include "preparation.h"

#include <array>

namespace {

enum class Line { Rts, Dtr };

struct Direction {
    const char *text;
    Line line;
    bool atRaise;
    bool atRelease;
};

constexpr std::array<Direction, 5> directions{{
    {"RTS=0", Line::Rts, false, true},
    {"RTS=1", Line::Rts, true, false},
    {"DTR=0", Line::Dtr, false, true},
    {"DTR=1", Line::Dtr, true, false},
    {"MODEM", Line::Dtr, true, true},
}};

const Direction *direction_of(const QString &signal) {
    for (const Direction &d : directions)
        if (signal == QLatin1String(d.text)) return &d;
    return nullptr;
}

void drive(SerialPort &port, Line line, bool on) {
    if (line == Line::Rts)
        port.setRts(on);
    else
        port.setDtr(on);
}

void buffers_and_thresholds(SerialPort &port) {
    port.discardOutput();
    port.discardInput();
    port.setInputLength(0);
    port.setSThreshold(kSendThreshold);
    port.setRThreshold(1);
    port.setInputMode(0);
}

} // namespace

QStringList direction_texts() {
    QStringList texts;
    for (const Direction &d : directions)
        texts << QLatin1String(d.text);
    return texts;
}

int port_number_of(const QString &text) {
    for (int n = 1; n <= 16; ++n)
        if (text == QStringLiteral("COM%1").arg(n)) return n;
    return 0;
}

bool test_preparation(SerialPort &port, const QString &portText, const QString &settings) {
    if (port.portOpen()) port.setPortOpen(false);
    if (const int n = port_number_of(portText)) port.setPortNumber(n);
    if (!port.portOpen() && !port.setPortOpen(true)) return false;
    if (!port.setSettings(settings)) return false;
    buffers_and_thresholds(port);
    return true;
}

bool kept_port_preparation(SerialPort &port, const QString &portText, const QString &settings,
                           bool settingsHeld) {
    if (!port.portOpen()) return test_preparation(port, portText, settings);
    if (!settingsHeld && !port.setSettings(settings)) return false;
    buffers_and_thresholds(port);
    return true;
}

bool at_preparation(SerialPort &port, const QString &settings) {
    if (!port.portOpen()) {
        if (!port.setSettings(settings) || !port.setPortOpen(true)) return false;
    }
    buffers_and_thresholds(port);
    return true;
}

void raise(SerialPort &port, const QString &signal) {
    if (const Direction *d = direction_of(signal)) drive(port, d->line, d->atRaise);
}

void release(SerialPort &port, const QString &signal) {
    if (const Direction *d = direction_of(signal)) drive(port, d->line, d->atRelease);
}
