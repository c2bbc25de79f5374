#pragma once

#include "transaction.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

// How one exchange ended. Malformed: the reply brought ETB but no frame the
// sum check can judge, so the console shows no verdict line either. Stray: a
// reply naming another address, which ends no exchange and is counted apart.
enum class Verdict { Ok, Err, Ack, Nak, Malformed, Timeout, Stray };
inline constexpr int kVerdictCount = 7;

// The verdict of a batch that ended the wait.
Verdict verdict_of(CommResult::Kind kind);

struct Exchange {
    QDateTime time; // when the frame went out
    int address = 0;
    int channel = 0;
    std::optional<int> parameter; // read and write parameter
    QString function;             // pv, param or write
    QByteArray request;           // as written to the line
    QByteArray reply;             // everything received for it
    Verdict verdict = Verdict::Timeout;
    QByteArray sum; // Ok and Err: the five characters after "SUM="
    std::optional<QByteArray> value;
    std::optional<double> latencyMs; // from the start of the exchange to its verdict
};

// What came back, in the plain kinds that point at a cause when the line
// settings or the direction line are unknown; in order of what they tell.
enum class Came {
    Nothing, // no character at all
    NoFrame, // characters that make no frame: wrong rate or format, an echo
    BadSum,  // a frame whose sum is wrong
    Stray,   // a good reply, but from another address: the line is right
    Good,    // a reply that passes its check (OK, ACK or NAK)
};
Came came_of(const Exchange &e);

// One setting or direction tried by a discovery.
struct Trial {
    QString tried;    // "9600,n,8,2" or "RTS=0"
    bool held = true; // false: the device would not take these settings
    Came came = Came::Nothing;
    Exchange telling; // the exchange that told the most
    QList<int> good;  // the addresses that answered with a good reply
};

enum class Discovery { None, Settings, Direction };
QByteArray trial_line(Discovery d, const Trial &t, bool json);
// The last line: what was found among the trials.
QByteArray discovery_result(Discovery d, const QList<Trial> &trials, bool json);

QByteArray human_line(const Exchange &e);
QByteArray json_line(const Exchange &e);

// Counts and latencies over the exchanges of one run.
class Statistics {
public:
    void add(const Exchange &e); // a stray is counted apart from the exchanges
    int sent() const { return sent_; }
    int answered() const { return sent_ - count(Verdict::Timeout); }
    int count(Verdict v) const { return counts_[int(v)]; }
    // Every judged exchange OK or ACK, and at least one. A scan leaves the
    // silent addresses out: only those that answered count.
    bool allGood(bool scan) const;

    QByteArray human(bool interrupted) const;
    QByteArray json(bool interrupted) const;

private:
    int sent_ = 0;
    int counts_[kVerdictCount] = {};
    QList<double> latencies_;
};
