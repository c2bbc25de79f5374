#pragma once

#include "simcore.h"

#include <QElapsedTimer>
#include <QObject>
#include <QQueue>
#include <QSocketNotifier>
#include <QTimer>

// How replies are timed on the line.
struct LineTiming {
    int delayMs = 5;     // from the end of the request to the first reply byte
    int splitGapMs = 20; // between the writes of a split reply
    int charMicros = 0;  // time of one character at the line rate; 0: no pacing
};

// Serves one file descriptor (a pseudo-terminal master or a serial device):
// reads requests as they arrive, answers through the core, writes replies on
// time and logs both on standard error. All on the event loop.
class SimServer : public QObject {
    Q_OBJECT
public:
    SimServer(int fd, sim::SimCore &core, LineTiming timing, QObject *parent = nullptr);

signals:
    void lineFailed(const QString &reason);

private:
    struct Step {
        int waitMs; // after the step before has gone out
        QByteArray bytes;
    };

    void onReadable();
    void report(const sim::Event &e);
    void pump();
    bool writeSome(Step &s, qsizetype count);

    int fd_;
    sim::SimCore &core_;
    LineTiming timing_;
    QSocketNotifier notifier_;
    QTimer timer_;
    QElapsedTimer clock_;
    QQueue<Step> queue_;
    bool stepStarted_ = false;
    qint64 stepDue_ = 0; // clock time the front step may start
    qsizetype stepSent_ = 0;
};

void log_line(const QString &text);
