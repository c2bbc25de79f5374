#pragma once

#include "frame.h"
#include "reply.h"
#include "selection.h"
#include "serialport.h"

#include <QByteArray>

// What the transaction sees of the window: a text to insert into, and the
// timer whose running state is the reply-awaited flag.
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

// The form-level variables the handlers share.
struct FormState {
    QByteArray sendbuf;
    ReplyBuffer recbuf;
    quint8 progress = 0;
};

struct Link {
    SerialPort &MSComm1;
    WaitFlag &Timer1;
    TextSink &trs;
    TextSink &rec;
};

struct TestOutcome {
    enum Status { Busy, Refused, PortFailed, Sent };
    Status status = Busy;
    FrameRefusal refusal{}; // Refused
    PortError portError{};  // PortFailed
};

// One press of TEST with the selections as they stand.
TestOutcome test_transaction(FormState &st, Link &link, const Selection &sel);

// Event code 2: read the batch, show it, judge it. model is Combo4's text now.
void reception(FormState &st, Link &link, const QString &model);
