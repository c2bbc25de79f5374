#pragma once

#include "linemodel.h"
#include "settings.h"
#include "simcore.h"
#include "tap.h"

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
// time and logs both on standard error. All on the event loop. How requests
// reach the instruments and replies the console is the line's own.
class SimServer : public QObject {
    Q_OBJECT
public:
    SimServer(int fd, sim::SimCore &core, LineTiming timing, LineSetup line,
              QObject *parent = nullptr);

    // Everything on the wire also goes to `tap`.
    void setTap(Tap *tap) { tap_ = tap; }

signals:
    void lineFailed(const QString &reason);

protected:
    // Reports have come, or bytes: those sent before the bytes come first.
    virtual void onReports() = 0;
    virtual void received(const QByteArray &bytes) = 0;
    // A report about our line, the settings it asks for taken.
    virtual void reported(const sim::Report &) {}
    // What the core made of request bytes, or noise as an answer.
    virtual void answer(const sim::Event &e, qint64 quietAt) = 0;
    virtual void due() = 0; // timer_ has run out

    void readReports();
    // Request bytes that reached the instruments; `quietAt` is when the line
    // fell silent after them (half-duplex only).
    void take(const QByteArray &bytes, qint64 quietAt = 0);

    const int fd_;
    const LineTiming timing_;
    const LineSetup line_;
    std::optional<LineSettings> asked_; // by the console, as reported
    QTimer timer_;
    Tap *tap_ = nullptr;

private:
    void onReadable();
    void log(const sim::Event &e);
    QString mismatch() const;

    sim::SimCore &core_;
    QSocketNotifier notifier_;
    std::optional<QSocketNotifier> reports_;
    quint64 slaveDevice_ = 0; // reports about other devices are not ours
};

// A full-duplex line: replies written as the core splits them, paced if asked.
class PlainLineServer : public SimServer {
public:
    using SimServer::SimServer;

private:
    struct Step {
        int waitMs; // after the step before has gone out
        QByteArray bytes;
    };

    void onReports() override { readReports(); }
    void received(const QByteArray &bytes) override;
    void answer(const sim::Event &e, qint64 quietAt) override;
    void due() override { pump(); }
    void pump();
    bool writeSome(Step &s, qsizetype count);

    QElapsedTimer clock_ = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    QQueue<Step> queue_;
    bool stepStarted_ = false;
    qint64 stepDue_ = 0; // clock time the front step may start
    qsizetype stepSent_ = 0;
};

// The two-wire bus behind line_.bus: the console's reports tell what went on
// the wire, and when; replies go out character by character as the bus allows.
class HalfDuplexServer : public SimServer {
public:
    using SimServer::SimServer;

private:
    // A report's line change comes a moment after the change itself.
    static constexpr qint64 kSettleNs = 2'000'000;

    void onReports() override { advanceBus(); }
    void received(const QByteArray &bytes) override;
    void reported(const sim::Report &r) override;
    void answer(const sim::Event &e, qint64 quietAt) override;
    void due() override { advanceBus(); }
    void advanceBus();

    sim::HalfDuplexBus bus_{*line_.bus, kSettleNs};
    bool reported_ = false; // any report has come
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
