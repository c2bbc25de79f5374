#pragma once

#include "frame.h"
#include "reply.h"
#include "ruler.h"
#include "selection.h"
#include "serialport.h"

#include <QByteArray>
#include <QTimer>
#include <optional>

// What the transaction sees of its surroundings: a text to insert into, and
// the timer whose running state is the reply-awaited flag.
class TextSink {
public:
    virtual ~TextSink() = default;
    virtual void insert(const QByteArray &bytes) = 0;
};

class WaitFlag {
public:
    virtual ~WaitFlag() = default;
    virtual bool running() const = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
};

// The usual wait flag: a timer's running state.
class TimerFlag : public WaitFlag {
public:
    explicit TimerFlag(QTimer &t) : t_(t) {}
    bool running() const override { return t_.isActive(); }
    void start() override { t_.start(); }
    void stop() override { t_.stop(); }

private:
    QTimer &t_;
};

// What one press of TEST came to.
struct TestOutcome {
    enum Status { Sent, Busy, Refused, PortFailed };
    Status status;
    FrameRefusal refusal{}; // Refused
    PortError portError{};  // PortFailed

    static TestOutcome sent() { return {Sent}; }
    static TestOutcome busy() { return {Busy}; }
};

// What one communication event did.
struct CommResult {
    QByteArray batch;                  // code 2: the characters that arrived
    std::optional<QByteArray> verdict; // the OK SUM= / ERR SUM= line shown for it
    bool ack = false;                  // an ACK line was shown
    bool nak = false;                  // a NAK line was shown
    bool endedWait = false;            // the batch ended a running wait
};

// One TEST from the press to the reply or the time-out: sendbuf, recbuf and
// progress live here, and every step of the road is one call. The window and
// the command-line probe drive it the same way:
//   test(selection)            when TEST is pressed
//   comm(code, model)          at each communication event of the port
//   tick()                     at each tick of the wait timer
class Transaction {
public:
    Transaction(SerialPort &port, WaitFlag &wait, TextSink &trs, TextSink &rec)
        : port_(port), wait_(wait), trs_(trs), rec_(rec) {}

    // Prepare the port, compose, show and send the frame, start the wait.
    // Busy while a reply is awaited: nothing happens then.
    TestOutcome test(const Selection &sel);

    // Code 2: the batch into recbuf and rec, judged for the model text now.
    // Other codes change nothing (at code 1 the port has already released the
    // direction line, at the level the raise named).
    CommResult comm(int code, const QString &model);

    // One tick of the wait: the new ruler text, or nothing at the tick that
    // times the wait out (the ruler then stays as it was).
    std::optional<QString> tick();

    // The time-out itself: the wait ends and rec's line is closed.
    void expire();

    const QByteArray &sendbuf() const { return sendbuf_; }
    const ReplyBuffer &recbuf() const { return recbuf_; }
    quint8 progress() const { return progress_; }

private:
    CommResult receive(const QString &model);

    SerialPort &port_;
    WaitFlag &wait_;
    TextSink &trs_;
    TextSink &rec_;
    QByteArray sendbuf_;
    ReplyBuffer recbuf_;
    quint8 progress_ = 0;
};
