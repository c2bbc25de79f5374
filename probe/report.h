#pragma once

#include "tally.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

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

// The run's counts and latencies, as the probe prints them at its end.
class Statistics {
public:
    void add(const Exchange &e) { tally_.add(e); }
    int sent() const { return tally_.sent(); }
    int answered() const { return tally_.answered(); }
    int count(Verdict v) const { return tally_.count(v); }
    // Every judged exchange OK or ACK, and at least one. A scan leaves the
    // silent addresses out: only those that answered count.
    bool allGood(bool scan) const;

    QByteArray human(bool interrupted) const;
    QByteArray json(bool interrupted) const;

private:
    Tally tally_;
};
