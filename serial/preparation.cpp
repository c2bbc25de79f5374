#include "preparation.h"

#include "porttext.h"

#include <array>

namespace {

// Line::Driver: the driver's RS-485 mode switches, no modem line is driven.
enum class Line { Rts, Dtr, Driver };

struct Direction {
    const char *text;
    Line line;
    bool atRaise;
    bool atRelease;
};

constexpr std::array<Direction, 6> directions{{
    {"RTS=0", Line::Rts, false, true},
    {"RTS=1", Line::Rts, true, false},
    {"DTR=0", Line::Dtr, false, true},
    {"DTR=1", Line::Dtr, true, false},
    {"MODEM", Line::Dtr, true, true},
    {"RS485", Line::Driver, false, false},
}};

const Direction *direction_of(const QString &signal) {
    for (const Direction &d : directions)
        if (signal == QLatin1String(d.text)) return &d;
    return nullptr;
}

std::optional<LineLevel> modem_line(const Direction *d, bool on) {
    if (!d || d->line == Line::Driver) return std::nullopt;
    return LineLevel{d->line == Line::Rts ? LineLevel::Rts : LineLevel::Dtr, on};
}

void drive(SerialPort &port, std::optional<LineLevel> level) {
    if (!level) return;
    if (level->line == LineLevel::Rts)
        port.setRts(level->on);
    else
        port.setDtr(level->on);
}

} // namespace

QStringList direction_texts() {
    QStringList texts;
    for (const Direction &d : directions)
        texts << QLatin1String(d.text);
    return texts;
}

int port_number_of(const QString &text) {
    const PortText t = port_text_of(text);
    return t.kind == PortText::Com ? t.number : 0;
}

bool test_preparation(SerialPort &port, const QString &portText, const QString &settings,
                      const QString &signal) {
    if (port.portOpen()) port.setPortOpen(false);
    port.setPortText(portText);
    if (!port.setPortOpen(true)) return false;
    return reset_preparation(port, settings, signal);
}

bool reset_preparation(SerialPort &port, const QString &settings, const QString &signal) {
    if (!port.setSettings(settings)) return false;
    const Direction *d = direction_of(signal);
    if (!port.setRs485(d && d->line == Line::Driver)) return false;
    purge_preparation(port);
    return true;
}

void purge_preparation(SerialPort &port) {
    port.discardOutput();
    port.discardInput();
    port.setControls(
        {.inputLength = 0, .sThreshold = kSendThreshold, .rThreshold = 1, .inputMode = 0});
}

bool at_preparation(SerialPort &port, const QString &settings) {
    if (!port.portOpen()) {
        if (!port.setSettings(settings) || !port.setPortOpen(true)) return false;
    }
    purge_preparation(port);
    return true;
}

void raise(SerialPort &port, const QString &signal) {
    const Direction *d = direction_of(signal);
    drive(port, modem_line(d, d && d->atRaise));
    release_after_write(port, signal);
}

void release_after_write(SerialPort &port, const QString &signal) {
    const Direction *d = direction_of(signal);
    port.setRelease(modem_line(d, d && d->atRelease));
}

void release(SerialPort &port, const QString &signal) {
    const Direction *d = direction_of(signal);
    drive(port, modem_line(d, d && d->atRelease));
}

std::optional<LineLevel> receive_level(const QString &signal) {
    const Direction *d = direction_of(signal);
    if (d && d->line == Line::Driver) return LineLevel{LineLevel::Rts, false};
    return modem_line(d, d && d->atRelease);
}
