#pragma once

#include "transaction.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

// How one exchange ended. Malformed: the reply brought ETB but no frame the
// sum check can judge, so the console shows no verdict line either.
enum class Verdict { Ok, Err, Ack, Nak, Malformed, Timeout };

// The verdict of a batch that ended the wait, as the console's lines show it:
// the sum line decides; otherwise NAK before ACK.
Verdict verdict_of(const CommResult &r);

// The value field of a read reply (DC1 or DC2): what stands after the address,
// the channel and, for a parameter, the last US, up to the five sum digits.
std::optional<QByteArray> reply_value(const QByteArray &recbuf);

struct Exchange {
    QDateTime time; // when the frame went out
    int address = 0;
    int channel = 0;
    std::optional<int> parameter; // read and write parameter
    QString function;             // pv, param or write
    QByteArray request;           // as written to the line
    QByteArray reply;             // everything received for it
    Verdict verdict = Verdict::Timeout;
    QByteArray verdictLine; // "OK SUM=00560" or "ERR SUM=00560", without CR LF
    std::optional<QByteArray> value;
    std::optional<double> latencyMs; // from the start of the exchange to its verdict
};

QByteArray human_line(const Exchange &e);
QByteArray json_line(const Exchange &e);

// Counts and latencies over the exchanges of one run.
class Statistics {
public:
    void add(const Exchange &e);
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
    int counts_[6] = {};
    QList<double> latencies_;
};
