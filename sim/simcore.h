#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <optional>

namespace sim {

// One channel of an instrument: its process value and its parameters, as the
// texts the instrument sends back.
struct Channel {
    QByteArray pv;
    QMap<int, QByteArray> parameters; // number -> value text
};

struct Instrument {
    QMap<int, Channel> channels; // number -> channel
};

// The instruments on the bus, by address.
using Bus = QMap<int, Instrument>;

// An instrument with channels 01..channels and parameters 01..parameters. Channel c
// of address a reads "a.c" unless pv is given; parameter p holds "00pp.0".
Instrument make_instrument(int address, int channels, int parameters,
                           const std::optional<QByteArray> &pv = std::nullopt);

// Addresses 001..003, channels 01..04, parameters 01..20; 001/01 reads 23.4.
Bus standard_bus();

// "ADDR[:CHANNELS[:PARAMETERS[:PV]]]" as given to --instrument, e.g. "7:2:10:99.9".
// Channels default to 4, parameters to 20. Nothing if the text is not of that form.
std::optional<std::pair<int, Instrument>> parse_instrument(const QString &desc);

struct Faults {
    int badSumEvery = 0; // every Nth sum worked out is one too high (0: never)
    int dropEvery = 0;   // every Nth reply is not sent (0: never)
    bool echo = false;   // every received byte goes straight back (two-wire bus)
    int split = 1;       // a reply goes out in this many writes
};

// What one piece of input led to.
struct Event {
    enum Kind {
        Echo,     // bytes: the input sent back
        Skipped,  // bytes: input outside any frame
        Answered, // bytes: the frame; reply: what goes back, in writes
        Dropped,  // bytes: the frame; reply: what would have gone back
        Silent,   // bytes: the frame; no reply (note says why)
    };
    Kind kind;
    QByteArray bytes;
    QByteArray reply;
    QList<QByteArray> writes; // Echo and Answered: one entry per write to the line
    QString note;
};

// The bus behind the line: request bytes in, in whatever pieces the line
// delivers them, reply bytes out. No timing and no I/O of its own.
class SimCore {
public:
    explicit SimCore(Bus bus = standard_bus(), int concentrator = 1, Faults faults = {});

    QList<Event> feed(const QByteArray &bytes);

    const Bus &bus() const { return bus_; }
    int concentrator() const { return concentrator_; }
    const Faults &faults() const { return faults_; }

    // Longest frame taken; anything longer is line noise.
    static constexpr qsizetype maxFrame = 64;
    // Longest value text a write may store.
    static constexpr qsizetype maxValue = 16;

private:
    void take(char c, QList<Event> &out);
    void flushSkipped(QList<Event> &out);
    Event judge(const QByteArray &frame);
    quint64 sumOf(const QByteArray &bytes);
    Event answer(const QByteArray &frame, QByteArray reply, const QString &note);

    Bus bus_;
    int concentrator_;
    Faults faults_;
    QByteArray frame_;
    QByteArray skipped_;
    int sums_ = 0;
    int replies_ = 0;
};

// All bytes the events send to the line, in order.
QByteArray line_output(const QList<Event> &events);

// Bytes for a log line: every byte that is not printable ASCII by name in
// ASCII brackets ("<DC4>01<DC1>...", "<7F>"), and as spaced hex.
QString readable(const QByteArray &bytes);
QString hex(const QByteArray &bytes);

} // namespace sim
