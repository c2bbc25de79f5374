#pragma once

#include "settings.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// The line between the console and the instruments: the settings the
// instruments hold, and a two-wire bus that only one side may drive at a time.
// Pure: times are CLOCK_MONOTONIC nanoseconds handed in by the caller.
namespace sim {

// What the instruments make of the console's line settings: empty when they
// match, otherwise the difference, e.g. "4800 ≠ 9600". Without `full` only the
// rate and the stop bits are compared (a pseudo-terminal shows no more).
QString settings_mismatch(const LineSettings &instruments, const LineSettings &console, bool full);

// A few characters that make no frame, as a UART at the wrong rate reads a
// reply: all with the top bit set, so no control character among them.
QByteArray noise_for(const QByteArray &reply);

// One report of the preload library (testsupport/lineshim.c).
struct Report {
    enum Kind { Write, Modem, Termios, Rs485 } kind;
    qint64 pid = 0;
    quint64 device = 0; // st_rdev of the descriptor
    qint64 ns = 0;
    QByteArray bytes;  // Write
    QByteArray op;     // Modem: "bis", "bic" or "set"
    quint32 value = 0; // Modem: TIOCM bits; Termios: speed; Rs485: flags
    quint32 cflag = 0; // Termios
};
std::optional<Report> parse_report(const QByteArray &text);

// Which line at which level puts the converter in send direction; Auto: an
// adapter that sends while characters come from the console.
struct Converter {
    enum Line { Rts, Dtr, Auto } line = Rts;
    bool level = false;
};
std::optional<Converter> parse_converter(const QString &text);

// The bus as the instruments see it. The console's characters are on the wire
// from their write, one after the other at the console's rate; one reaches the
// instruments only if the converter sends for the whole of it. A reply
// character is lost if the converter sends at any moment of it. A character's
// fate is told `settleNs` after its last bit, so that a report of a line
// change made before then has arrived.
class HalfDuplexBus {
public:
    struct Char {
        qint64 start = 0;
        qint64 end = 0; // the last bit
        char byte = 0;
        bool heard = false; // console characters: reached the instruments
        qint64 quietAt = 0; // console characters: when the console fell silent after it
    };

    HalfDuplexBus(Converter converter, qint64 settleNs);

    void consoleWrote(qint64 ns, const QByteArray &bytes, qint64 charNs);
    void modemCall(qint64 ns, const QByteArray &op, quint32 bits);
    void rs485(qint64 ns, quint32 flags);
    // The instruments answer from `start`, one character per charNs.
    void reply(qint64 start, const QByteArray &bytes, qint64 charNs);

    // Console characters whose fate is known at `now`, in order.
    QList<Char> settledConsole(qint64 now);
    // Reply characters whose fate is known at `now`: those that got through,
    // and how many were lost; with `through`, also those that got through, timed.
    QByteArray settledReply(qint64 now, int *lost, QList<Char> *through = nullptr);
    bool replying() const { return !reply_.isEmpty(); }
    // When the next fate is known; nothing if nothing waits.
    std::optional<qint64> nextDue() const;
    // The first moment from `from` at which the converter does not send, as
    // far as reported; nothing if it still sends.
    std::optional<qint64> stopsSending(qint64 from) const;

private:
    struct Call {
        qint64 ns;
        QByteArray op;
        quint32 bits;
    };
    struct Mode {
        qint64 ns;
        quint32 flags;
    };
    bool onWire(qint64 t) const;
    bool rtsAt(qint64 t) const;
    bool dtrAt(qint64 t) const;
    int bitsAt(qint64 t) const;
    static int applied(int bits, const Call &c);
    bool sending(qint64 t) const;
    QList<qint64> changesIn(qint64 a, qint64 b) const;
    void forget(qint64 before);

    Converter converter_;
    qint64 settleNs_;
    int baseBits_; // the lines before the first call kept: both on, as a UART opens
    QList<Call> calls_;
    QList<Mode> modes_;
    QList<Char> console_; // kept after their fate for the converter's view
    qsizetype settled_ = 0;
    QList<Char> reply_;
};

} // namespace sim
