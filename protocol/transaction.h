#pragma once

#include "frame.h"
#include "portsession.h"
#include "reply.h"
#include "ruler.h"
#include "selection.h"
#include "serialport.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QTimer>
#include <memory>
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
    // The line shown for the batch: the sum line decides, then NAK before ACK.
    enum class Kind { None, Ok, Err, Ack, Nak };
    Kind kind = Kind::None;
    QByteArray sum;                  // Ok and Err: the five characters after "SUM="
    std::optional<QByteArray> value; // Ok of a read reply: the value field
    bool endedWait = false;          // the batch ended a running wait
    // Only with setOwnRepliesOnly(): frames naming another instrument, channel
    // or concentrator than the request; taken out of recbuf unjudged.
    struct Stray {
        FrameHead head;
        QByteArray frame; // up to its ETB
    };
    QList<Stray> strays;
};

// One TEST from the press to the reply or the time-out: sendbuf, recbuf and
// progress live here, and every step of the road is one call. The window and
// the command-line probe drive it the same way:
//   test(selection)            when TEST is pressed
//   comm(code, model)          at each communication event of the port
//   tick()                     at each tick of the wait timer
class Transaction {
public:
    // The console's wait for a reply: the tick after the ruler's last block.
    static constexpr int kTimeoutMs = (ruler::kLimit / ruler::kStep + 1) * ruler::kTickMs;

    // The port the session holds for each TEST.
    Transaction(PortSession &session, WaitFlag &wait, TextSink &trs, TextSink &rec)
        : session_(session), wait_(wait), trs_(trs), rec_(rec) {}
    // Always this one port.
    Transaction(SerialPort &port, WaitFlag &wait, TextSink &trs, TextSink &rec)
        : own_(std::make_unique<PortSession>(port)), session_(*own_), wait_(wait), trs_(trs),
          rec_(rec) {}

    // A tool that owns the port for a whole run keeps it open from one TEST to
    // the next (emptied and set each time); the console reopens at every TEST.
    void setKeepPort(bool keep) { keepPort_ = keep; }
    // A reply naming another address than the request's (and whose sum holds)
    // is not judged for it:
    // the wait goes on and the frame is given back in CommResult::strays. The
    // console judges whatever arrives.
    void setOwnRepliesOnly(bool own) { ownOnly_ = own; }

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
    // The bytes the last TEST put on the line.
    QByteArray request() const;
    const ReplyBuffer &recbuf() const { return recbuf_; }
    quint8 progress() const { return progress_; }

private:
    CommResult receive(const QString &model);
    void takeStrays(char marker, QList<CommResult::Stray> &strays);
    // An AT line can go out before any TEST: then there is nothing to count from.
    double sinceTest() const { return clock_.isValid() ? clock_.nsecsElapsed() / 1e6 : 0.0; }

    std::unique_ptr<PortSession> own_;
    PortSession &session_;
    WaitFlag &wait_;
    TextSink &trs_;
    TextSink &rec_;
    QByteArray sendbuf_;
    ReplyBuffer recbuf_;
    quint8 progress_ = 0;
    bool readRequest_ = false; // the frame asks for a value (DC1 or DC2)
    std::optional<FrameHead> requestHead_;
    bool keepPort_ = false;
    bool ownOnly_ = false;
    QElapsedTimer clock_; // since the last TEST, for the trace
};
