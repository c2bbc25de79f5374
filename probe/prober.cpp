#include "prober.h"

#include "controls.h"
#include "messages.h"
#include "preparation.h"

#include <cstdio>

namespace {

void write_out(const QByteArray &bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout); // one line at a time, for a pipe reading as it goes
}

} // namespace

Prober::Prober(SerialPort &port, Plan plan, QObject *parent)
    : QObject(parent), port_(port), plan_(std::move(plan)), tx_(port, waitFlag_, trs_, rec_) {
    wait_.setSingleShot(true);
    wait_.setTimerType(Qt::PreciseTimer);
    wait_.setInterval(plan_.timeoutMs);
    pace_.setSingleShot(true);
    pace_.setTimerType(Qt::PreciseTimer);
    queue_.setSingleShot(true);
    queue_.setInterval(0);
    connect(&wait_, &QTimer::timeout, this, &Prober::onTimeout);
    connect(&pace_, &QTimer::timeout, this, [this] {
        beginRound();
        send();
    });
    connect(&queue_, &QTimer::timeout, this, &Prober::next);
    connect(&port_, &SerialPort::comm, this, &Prober::onComm);
    connect(&port_, &SerialPort::failed, this,
            [this](const PortError &e) { fail(broken_message(e)); });
    // Said, not fatal: the exchanges go on.
    connect(&port_, &SerialPort::lineFault, this, [](const PortError &e) {
        std::fprintf(stderr, "kestrova-probe: %s\n", qPrintable(port_message(e)));
    });
}

QString option_source(Box box) {
    static const char *const options[kBoxCount] = {
        "设备",      "--settings", "--direction", "--model", "--function",
        "--address", "--channel",  "--parameter", "--value", "--concentrator"};
    return QStringLiteral("%1 的值").arg(QString::fromUtf8(options[size_t(box)]));
}

void Prober::start() {
    queue_.start();
}

void Prober::stop() {
    if (done_) return;
    interrupted_ = true;
    finish(earned());
}

int Prober::earned() const {
    return stats_.allGood(plan_.scan) ? 0 : 1;
}

void Prober::next() {
    if (done_) return;
    const qsizetype perRound = plan_.addresses.size() * plan_.channels.size();
    if (position_ == perRound) position_ = 0;
    if (position_ == 0) {
        if (plan_.rounds > 0 && round_ >= plan_.rounds) return finish(earned());
        if (round_ > 0 && plan_.intervalMs > 0) {
            const qint64 left = plan_.intervalMs - roundClock_.elapsed();
            if (left > 0) return pace_.start(int(left));
        }
        beginRound();
    }
    send();
}

void Prober::beginRound() {
    ++round_;
    roundClock_.start();
}

void Prober::send() {
    const qsizetype channels = plan_.channels.size();
    current_ = Exchange{};
    current_.address = plan_.addresses[position_ / channels];
    current_.channel = plan_.channels[position_ % channels];
    ++position_;
    current_.function = plan_.function;
    if (plan_.function != QLatin1String("pv"))
        current_.parameter = int(leading_number(plan_.base.parameter));
    Selection sel = plan_.base;
    sel.address = QString::number(current_.address);
    sel.channel = QString::number(current_.channel);

    current_.time = QDateTime::currentDateTimeUtc();
    exchangeClock_.start();
    const TestOutcome outcome = tx_.test(sel);
    switch (outcome.status) {
    case TestOutcome::Sent:
        current_.request = tx_.sendbuf() + ctl::ETX;
        inFlight_ = true;
        sentAny_ = true;
        return;
    case TestOutcome::Refused:
        return fail(refusal_message(outcome.refusal, option_source(outcome.refusal.box)));
    case TestOutcome::PortFailed:
        return fail(port_message(outcome.portError));
    case TestOutcome::Busy:
        // Never: the next exchange is queued only once the wait has ended.
        return fail(QStringLiteral("上一次交换仍在等待回复"));
    }
}

void Prober::onComm(int code) {
    if (done_) return;
    const CommResult r = tx_.comm(code, plan_.base.model);
    if (!inFlight_ || !r.endedWait) return;
    judge(verdict_of(r), r.verdict ? r.verdict->trimmed() : QByteArray());
}

void Prober::onTimeout() {
    if (done_ || !inFlight_) return;
    tx_.expire();
    judge(Verdict::Timeout, {});
}

void Prober::judge(Verdict v, const QByteArray &verdictLine) {
    inFlight_ = false;
    current_.verdict = v;
    current_.verdictLine = verdictLine;
    current_.reply = tx_.recbuf().text();
    if (v != Verdict::Timeout) current_.latencyMs = exchangeClock_.nsecsElapsed() / 1e6;
    if (v == Verdict::Ok && plan_.function != QLatin1String("write"))
        current_.value = reply_value(current_.reply);
    stats_.add(current_);
    if (!(plan_.scan && v == Verdict::Timeout))
        write_out(plan_.json ? json_line(current_) : human_line(current_));
    // Not from inside the port's notification: the next test() reopens the port.
    queue_.start();
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
    release(port_, plan_.base.signal);
    port_.setPortOpen(false);
    if (sentAny_) write_out(plan_.json ? stats_.json(interrupted_) : stats_.human(interrupted_));
    emit finished(exitCode);
}
