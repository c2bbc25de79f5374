#pragma once

#include "framer.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <optional>

// One exchange another master had on the bus, or what was heard outside one.
struct Heard {
    enum Verdict { Ok, Err, Ack, Nak, Timeout, Stray, Garbled };
    static constexpr int kVerdicts = 7;

    qint64 startNs = 0; // the request's first bit, or the unit's outside an exchange
    Verdict verdict = Timeout;
    std::optional<int> address;
    std::optional<int> channel;
    std::optional<int> parameter;
    QString function; // pv, param or write; empty without a request
    QByteArray request;
    QByteArray reply;
    QByteArray sum; // Ok and Err: the five characters the verdict line shows
    std::optional<QByteArray> value;
    std::optional<double> turnaroundMs; // request's last bit to the reply's first
    std::optional<double> longestGapMs; // inside the reply
    bool repeated = false;              // the master sent the same request again
};

// Pairs each request with what follows it, up to the time-out. Pure: units
// and times in, exchanges out.
class Pairing {
public:
    explicit Pairing(qint64 timeoutNs) : timeoutNs_(timeoutNs) {}
    void unit(const WireUnit &u, QList<Heard> &out);
    // Nothing came up to `nowNs`: a request waiting longer has timed out.
    void idle(qint64 nowNs, QList<Heard> &out);
    void flush(QList<Heard> &out); // the end: a request still waiting counts as timed out

private:
    Heard opened(const WireUnit &request) const;
    void close(Heard h, QList<Heard> &out);

    qint64 timeoutNs_;
    std::optional<WireUnit> pending_;
    Heard pendingHeard_;
    QByteArray lastRequest_;
    qint64 lastRequestEnd_ = 0;
    bool lastFailed_ = false;
};

// Per address and channel, and of the bus as a whole. Bounded: the keys by
// the address and channel ranges, the turnarounds kept for the percentiles by
// kKept per key (min and max see them all).
class BusStatistics {
public:
    static constexpr qsizetype kKept = 100000;
    void add(const Heard &h);
    void heard(const WireUnit &u, qint64 charNs); // every unit: the bus's busy time

    QByteArray human(bool interrupted) const;
    QByteArray json(bool interrupted) const;

private:
    struct Row {
        int counts[Heard::kVerdicts] = {};
        QList<double> turnarounds;
        double min = 0, max = 0;
        qint64 seen = 0;
    };
    double idleFraction() const;

    QMap<QPair<int, int>, Row> rows_; // (-1, -1): nothing names the instrument
    int repeated_ = 0;
    qint64 unframedBytes_ = 0;
    qint64 firstNs_ = -1, lastNs_ = 0, busyNs_ = 0;
};

// The lines, as the probe prints its exchanges; `wallOffsetNs` turns the
// monotonic times into the wall clock.
QByteArray heard_line(const Heard &h, qint64 wallOffsetNs);
QByteArray heard_json(const Heard &h, qint64 wallOffsetNs);
