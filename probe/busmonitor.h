#pragma once

#include "framer.h"
#include "monitor.h"

#include <QObject>
#include <QTimer>
#include <optional>
#include <vector>

class PortSession;

struct MonitorPlan {
    QString port;                // as the user gave it
    QString rx;                  // the second receive side, empty if none
    QString settings;            // "9600,n,8,2"
    QString signal;              // the direction line held at its receive level
    std::optional<double> gapMs; // nothing: 3.5 character times
    int timeoutMs = 250;
    bool json = false;
    bool network = false; // the port is a network serial port
};

// One unit as the monitor framed it, for whatever records the bus (a
// capture): every request, reply, lone ACK or NAK and run of unframed bytes
// passes through BusMonitor::framed, in order.
struct FramedUnit {
    enum Direction { Request, Reply };
    qint64 wallNs = 0; // the first bit, wall clock
    Direction direction = Request;
    bool frame = true; // false: bytes that made no frame
    qint64 gapNs = -1; // idle line before it; -1 for the first
    qint64 spanNs = 0; // first bit to last bit
    QByteArray bytes;
};

// Listens on one port (or two, one per direction) that was opened to listen
// only, frames what it hears, pairs and judges the exchanges, prints them and
// the statistics at the end.
class BusMonitor : public QObject {
    Q_OBJECT
public:
    BusMonitor(PortSession &port, PortSession *rx, MonitorPlan plan, QObject *parent = nullptr);

    void start(); // the first line: what is promised
    void stop();  // the statistics; finished(0)

signals:
    void framed(const FramedUnit &unit);
    void finished(int exitCode);

private:
    struct Side {
        PortSession *port = nullptr;
        Framer framer;
        qint64 lastEnd = 0;
        bool replies = false; // the second side hears the instruments alone
    };
    void read(Side &side);
    void take(Side &side, const QList<WireUnit> &units);
    void report(const QList<Heard> &heard);
    void tick();
    void end(int exitCode, bool interrupted);

    MonitorPlan plan_;
    qint64 charNs_;
    qint64 wallOffsetNs_;
    std::vector<Side> sides_;
    Pairing pairing_;
    BusStatistics stats_;
    QTimer tick_;
    bool awaiting_ = false; // a request has been heard and nothing after it yet
    bool done_ = false;
};
