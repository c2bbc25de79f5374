#include "prober.h"

#include "messages.h"
#include "portsession.h"
#include "preparation.h"

#include <cmath>
#include <cstdio>

QStringList discovery_rows(Discovery d, const QString &first) {
    if (d == Discovery::Direction) return direction_texts();
    if (d != Discovery::Settings) return {};
    // The list's rates from the usual one outwards: above first, then below.
    const BoxTexts &box = box_texts(Box::Settings);
    const qsizetype usual = box.rows.indexOf(box.initial);
    QStringList rates;
    for (qsizetype step = 0; rates.size() < box.rows.size(); ++step)
        for (qsizetype i : {usual + step, usual - step})
            if (i >= 0 && i < box.rows.size() && !rates.contains(box.rows[i].section(',', 0, 0)))
                rates << box.rows[i].section(',', 0, 0);
    QStringList rows;
    for (const QString &rate : rates)
        for (const char *format : {"n,8,2", "n,8,1", "e,8,1", "o,8,1"})
            rows << rate + QLatin1Char(',') + QLatin1String(format);
    if (!first.isEmpty()) {
        rows.removeAll(first);
        rows.prepend(first);
    }
    return rows;
}

Prober::Prober(SerialPort &port, Plan plan, QObject *parent)
    : Prober(*new PortSession(port), std::move(plan), parent) {
    own_.reset(&port_);
}

Prober::Prober(PortSession &session, Plan plan, QObject *parent)
    : QObject(parent), port_(session), plan_(std::move(plan)), schedule_(Schedule::of(plan_)),
      signal_(plan_.base.signal), tx_(session, waitFlag_, trs_, rec_) {
    tx_.setKeepPort(!plan_.reopen);
    tx_.setOwnRepliesOnly(true);
    wait_.setSingleShot(true);
    wait_.setTimerType(Qt::PreciseTimer);
    wait_.setInterval(plan_.timeoutMs);
    pace_.setSingleShot(true);
    pace_.setTimerType(Qt::PreciseTimer);
    queue_.setSingleShot(true);
    queue_.setInterval(0);
    connect(&wait_, &QTimer::timeout, this, &Prober::onTimeout);
    connect(&pace_, &QTimer::timeout, this, &Prober::next);
    connect(&queue_, &QTimer::timeout, this, &Prober::next);
    connect(&port_, &PortSession::comm, this, &Prober::onComm);
    connect(&port_, &PortSession::failed, this, &Prober::portFailed);
    // Said, not fatal: the exchanges go on.
    connect(&port_, &PortSession::lineFault, this, [](const PortError &e) {
        std::fprintf(stderr, "kestrova-probe: %s\n", qPrintable(port_message(e)));
    });
}

Prober::~Prober() = default;

QString option_source(Box box) {
    static const char *const options[kBoxCount] = {
        "设备",      "--settings", "--direction", "--model", "--function",
        "--address", "--channel",  "--parameter", "--value", "--concentrator"};
    return QStringLiteral("%1 的值").arg(QString::fromUtf8(options[size_t(box)]));
}

void Prober::start() {
    // Told from the event loop, as every other end of the run.
    if (!plan_.csv.isEmpty() && !csv_.open(plan_.csv))
        return void(QMetaObject::invokeMethod(
            this, [this] { fail(save_failed_message(plan_.csv, csv_.errorString())); },
            Qt::QueuedConnection));
    queue_.start();
}

void Prober::stop() {
    if (done_) return;
    interrupted_ = true;
    finish(schedule_->exitCode());
}

void Prober::next() {
    if (done_) return;
    const Schedule::Step step = schedule_->next();
    switch (step.kind) {
    case Schedule::Step::Done:
        return finish(schedule_->exitCode());
    case Schedule::Step::Wait:
        return pace_.start(step.waitMs);
    case Schedule::Step::Send:
        return send(step);
    }
}

void Prober::send(const Schedule::Step &step) {
    current_ = Exchange{};
    current_.address = step.address;
    current_.channel = step.channel;
    current_.function = plan_.function;
    current_.sel = step.sel;
    if (plan_.function != QLatin1String("pv"))
        current_.parameter = int(leading_number(plan_.base.parameter));
    signal_ = step.sel.signal;

    current_.time = QDateTime::currentDateTimeUtc();
    exchangeClock_.start();
    const TestOutcome outcome = tx_.test(step.sel);
    if (outcome.status == TestOutcome::Refused)
        return fail(refusal_message(outcome.refusal, option_source(outcome.refusal.box)));
    if (outcome.status == TestOutcome::PortFailed) {
        if (schedule_->roundRefused(outcome.portError)) return roundRefused();
        return fail(port_message(outcome.portError));
    }
    current_.request = tx_.request();
    inFlight_ = true;
    sentAny_ = true;
    if (const int extra = schedule_->extraWaitMs(step.sel, current_.request.size()))
        wait_.start(plan_.timeoutMs + extra);
}

void Prober::roundRefused() {
    if (inFlight_) {
        inFlight_ = false;
        tx_.expire();
    }
    queue_.start();
}

// A server refuses settings only once it has answered, after the frame was
// handed over; a device that breaks down ends the run, with what came so far.
void Prober::portFailed(const PortError &e) {
    if (done_) return;
    if (schedule_->roundRefused(e)) return roundRefused();
    if (inFlight_) {
        inFlight_ = false;
        tx_.comm(SerialPort::EvReceive, plan_.base.model); // what the port still held
        wait_.stop();
        current_.reply = tx_.recbuf().text();
        current_.verdict = current_.reply.isEmpty() ? Verdict::Timeout : Verdict::Malformed;
        record(current_);
    }
    fail(broken_message(e));
}

void Prober::onComm(int code) {
    if (done_) return;
    const CommResult r = tx_.comm(code, plan_.base.model);
    if (inFlight_)
        for (const CommResult::Stray &s : r.strays)
            stray(s);
    if (!inFlight_ || !r.endedWait) return;
    judge(verdict_of(r.kind), r);
}

void Prober::onTimeout() {
    if (done_ || !inFlight_) return;
    tx_.expire();
    judge(Verdict::Timeout, {});
    // Outside the port's notification, so the next exchange may start at once.
    if (queue_.isActive()) {
        queue_.stop();
        next();
    }
}

// A reply naming another address: shown under the address it names, credited
// to no exchange, and the exchange under way goes on waiting.
void Prober::stray(const CommResult::Stray &s) {
    Exchange e;
    e.time = QDateTime::currentDateTimeUtc();
    e.address = s.head.address.toInt();
    e.channel = s.head.channel.toInt();
    e.function = plan_.function;
    e.parameter = current_.parameter;
    e.sel = current_.sel;
    e.sel.address = QString::number(e.address);
    e.sel.channel = QString::number(e.channel);
    e.reply = s.frame;
    e.verdict = Verdict::Stray;
    record(e);
}

void Prober::judge(Verdict v, const CommResult &r) {
    inFlight_ = false;
    current_.verdict = v;
    current_.sum = r.sum;
    current_.value = r.value;
    current_.reply = tx_.recbuf().text();
    if (v != Verdict::Timeout) current_.latencyMs = exchangeClock_.nsecsElapsed() / 1e6;
    record(current_);
    // Not from inside the port's notification: the next test() prepares the port.
    queue_.start();
}

void Prober::record(const Exchange &e) {
    if (e.verdict == Verdict::Stray)
        schedule_->stray(e);
    else
        schedule_->judged(e);
    if (csv_.isOpen() && !csv_.write(csv_row(e)))
        fail(save_failed_message(plan_.csv, csv_.errorString()));
}

void Prober::fail(const QString &message) {
    if (done_) return;
    std::fprintf(stderr, "kestrova-probe: %s\n", qPrintable(message));
    finish(2);
}

void Prober::finish(int exitCode) {
    if (done_) return;
    done_ = true;
    wait_.stop();
    pace_.stop();
    queue_.stop();
    // An exchange cut short may have left the converter sending.
    release(port_.port(), signal_);
    port_.port().setPortOpen(false);
    write_out(schedule_->summary(interrupted_, sentAny_, exitCode == 2));
    emit finished(exitCode);
}
