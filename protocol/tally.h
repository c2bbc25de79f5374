#pragma once

#include "selection.h"
#include "transaction.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <map>
#include <optional>

// How one exchange ended. Malformed: the reply brought ETB but no frame the
// sum check can judge, so the console shows no verdict line either. Stray: a
// reply naming another address, which ends no exchange and is counted apart.
enum class Verdict { Ok, Err, Ack, Nak, Malformed, Timeout, Stray };
inline constexpr int kVerdictCount = 7;

// The verdict of a batch that ended the wait.
Verdict verdict_of(CommResult::Kind kind);

// One TEST or probe exchange, as it is counted and exported.
struct Exchange {
    QDateTime time; // when the frame went out
    Selection sel;  // the box texts (or options) it was sent with
    int address = 0;
    int channel = 0;
    std::optional<int> parameter; // read and write parameter
    QString function;             // pv, param or write
    QByteArray request;           // as written to the line
    QByteArray reply;             // everything received for it
    Verdict verdict = Verdict::Timeout;
    QByteArray sum; // Ok and Err: the five characters after "SUM="
    std::optional<QByteArray> value;
    std::optional<double> latencyMs; // from the write to its verdict
};

struct LatencySummary {
    double min = 0, median = 0, p99 = 0, max = 0;
};

// Counts and latencies over the exchanges of one run. Memory does not grow
// with the run: latencies are kept as a histogram of 10 µs bins (the exact
// minimum and maximum beside it), so a run of any length costs at most one
// bin per 10 µs of the range its latencies span.
class Tally {
public:
    static constexpr double kBinMs = 0.01;

    void add(const Exchange &e); // a stray is counted apart from the exchanges
    void clear() { *this = Tally(); }

    int sent() const { return sent_; }
    int answered() const { return sent_ - count(Verdict::Timeout); }
    int count(Verdict v) const { return counts_[int(v)]; }
    double lossPercent() const { return sent_ ? 100.0 * count(Verdict::Timeout) / sent_ : 0.0; }
    std::optional<LatencySummary> latency() const;
    // Failures: every exchange that ended other than OK or ACK.
    int longestFailureRun() const { return longestRun_; }
    QDateTime lastFailure() const { return lastFailure_; }

private:
    double nth(qint64 k) const; // the k-th smallest latency, from 0

    int sent_ = 0;
    int counts_[kVerdictCount] = {};
    std::map<qint64, qint64> bins_; // bin -> latencies in it
    qint64 latencies_ = 0;
    double min_ = 0, max_ = 0;
    int run_ = 0, longestRun_ = 0;
    QDateTime lastFailure_;
};
