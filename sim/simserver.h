#pragma once

#include "linemodel.h"
#include "settings.h"
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

// The line the instruments sit on.
struct LineSetup {
    LineSettings instruments;          // what they are set to
    bool noise = false;                // mis-set, they answer noise instead of nothing
    int slaveFd = -1;                  // our pseudo-terminal's slave: the console's settings
    int reportFd = -1;                 // datagrams of the preload library
    std::optional<sim::Converter> bus; // half-duplex, behind this converter
};

// Serves one file descriptor (a pseudo-terminal master or a serial device):
// reads requests as they arrive, answers through the core, writes replies on
// time and logs both on standard error. All on the event loop.
class SimServer : public QObject {
    Q_OBJECT
public:
    SimServer(int fd, sim::SimCore &core, LineTiming timing, LineSetup line,
              QObject *parent = nullptr);

signals:
    void lineFailed(const QString &reason);

private:
    struct Step {
        int waitMs; // after the step before has gone out
        QByteArray bytes;
    };

    void onReadable();
    void onReports();
    void readReports();
    void advanceBus();
    // Request bytes that reached the instruments; `quietAt` is when the line
    // fell silent after them (half-duplex only).
    void take(const QByteArray &bytes, qint64 quietAt = 0);
    void log(const sim::Event &e);
    QString mismatch() const;
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

    LineSetup line_;
    std::optional<QSocketNotifier> reports_;
    std::optional<sim::HalfDuplexBus> bus_;
    QTimer busTimer_;
    quint64 slaveDevice_ = 0;           // reports about other devices are not ours
    std::optional<LineSettings> asked_; // by the console, as reported
    bool reported_ = false;             // any report has come
    bool unreportedTold_ = false;
    qint64 burstStart_ = 0;
    QByteArray heard_; // by the instruments, not yet taken
    int burstChars_ = 0;
    int heardLost_ = 0;
    int replyLost_ = 0;
};

// The clock of the preload library's reports.
#include "clock.h"

void log_line(const QString &text);
