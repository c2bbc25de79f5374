#pragma once

#include "records.h"
#include "report.h"
#include "schedule.h"
#include "transaction.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>
#include <memory>

class PortSession;
class SerialPort;

// What the command line asked for.
struct Plan {
    Selection base;       // port, settings, signal, model, function, parameter, value, concentrator
    QString function;     // pv, param or write
    QList<int> addresses; // in the order given
    QList<int> channels;  // for every address
    int timeoutMs = 250;  // the wait for a reply
    int rounds = 1;       // every address and channel once per round; 0: until stopped
    int intervalMs = 0;   // from the start of one round to the next; 0: at once
    bool scan = false;    // print only the exchanges that were answered
    bool json = false;    // JSON lines instead of text
    bool reopen = false;  // reopen the port at every exchange, as the console's TEST does
    // Try each setting or direction in turn, one round each, instead of polling.
    Discovery discovery = Discovery::None;
    bool settingsGiven = false; // --settings: tried first by a settings discovery
    QString csv;                // --csv: every exchange also as a row of this file
};

// What a discovery tries, in order: the rates of the settings list from the
// usual one outwards (9600, 19200, 4800, ...), each in n,8,2, n,8,1, e,8,1 and
// o,8,1; or every direction choice.
// A setting given by the user comes first.
QStringList discovery_rows(Discovery d, const QString &first = {});

// Drives the transaction through the plan, one exchange after the other,
// exactly as the window drives it: test() to send, comm() for each event of the
// port, and the time-out's expire() when the wait timer runs out. Unlike the
// window it keeps the port open for the whole run, and judges an exchange only
// by a reply from the address it asked. Which exchange comes next is the
// schedule's: polling or a discovery.
class Prober : public QObject {
    Q_OBJECT
public:
    Prober(PortSession &session, Plan plan, QObject *parent = nullptr);
    // Always this one port.
    Prober(SerialPort &port, Plan plan, QObject *parent = nullptr);
    ~Prober() override;

    // Queues the first exchange; finished() comes once the plan is done, the
    // port fails or stop() is called.
    void start();
    // Abandons the exchange under way (it is not counted) and finishes.
    void stop();

signals:
    void finished(int exitCode);

private:
    class Discard : public TextSink {
    public:
        void insert(const QByteArray &) override {}
    };

    void next();
    void send(const Schedule::Step &step);
    void onComm(int code);
    void onTimeout();
    void judge(Verdict v, const CommResult &r);
    void record(const Exchange &e);
    void stray(const CommResult::Stray &s);
    void roundRefused();
    void portFailed(const PortError &e);
    void fail(const QString &message);
    void finish(int exitCode);

    std::unique_ptr<PortSession> own_;
    PortSession &port_;
    Plan plan_;
    std::unique_ptr<Schedule> schedule_;
    QString signal_; // the direction line of the exchange under way
    QTimer wait_;    // the reply-awaited flag and the time-out
    QTimer pace_;    // holds back the next exchange when the schedule says so
    QTimer queue_;   // starts the next exchange from the event loop
    TimerFlag waitFlag_{wait_};
    Discard trs_;
    Discard rec_;
    Transaction tx_;
    CsvFile csv_;

    QElapsedTimer exchangeClock_;
    Exchange current_;
    bool inFlight_ = false;
    bool sentAny_ = false;
    bool interrupted_ = false;
    bool done_ = false;
};

// How a refusal names the option that gave the text.
QString option_source(Box box);
