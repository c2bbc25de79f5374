#include "prober.h"

#include "messages.h"
#include "preparation.h"

#include <cmath>
#include <cstdio>

namespace {

void write_out(const QByteArray &bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout); // one line at a time, for a pipe reading as it goes
}

// Milliseconds the request takes on the wire at these settings, rounded up.
int wire_ms(qsizetype bytes, const QString &settings) {
    const auto s = parse_settings(settings);
    if (!s) return 0;
    return int(std::ceil(1000.0 * double(bytes) * bits_per_char(*s) / s->rate));
}

} // namespace

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
    : QObject(parent), port_(port), plan_(std::move(plan)),
      rows_(discovery_rows(plan_.discovery, plan_.settingsGiven ? plan_.base.settings : QString())),
      signal_(plan_.base.signal), tx_(port, waitFlag_, trs_, rec_) {
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
    connect(&pace_, &QTimer::timeout, this, [this] {
        beginRound();
        send();
    });
    connect(&queue_, &QTimer::timeout, this, &Prober::next);
    connect(&port_, &SerialPort::comm, this, &Prober::onComm);
    connect(&port_, &SerialPort::failed, this, &Prober::portFailed);
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
    if (plan_.discovery != Discovery::None) {
        for (const Trial &t : trials_)
            if (t.held && t.came == Came::Good) return 0;
        return 1;
    }
    return stats_.allGood(plan_.scan) ? 0 : 1;
}

void Prober::next() {
    if (done_) return;
    const qsizetype perRound = plan_.addresses.size() * plan_.channels.size();
    if (position_ == perRound) {
        position_ = 0;
        if (plan_.discovery != Discovery::None && endTrial()) return finish(earned());
    }
    if (position_ == 0) {
        if (plan_.discovery != Discovery::None) {
            trials_.append(Trial{rows_[trials_.size()], true, Came::Nothing, {}, {}});
        } else {
            if (plan_.rounds > 0 && round_ >= plan_.rounds) return finish(earned());
            if (round_ > 0 && plan_.intervalMs > 0) {
                const qint64 left = plan_.intervalMs - roundClock_.elapsed();
                if (left > 0) return pace_.start(int(left));
            }
        }
        beginRound();
    }
    send();
}

// The trial under way is over: its line, and whether the discovery is done.
bool Prober::endTrial() {
    const Trial &t = trials_.last();
    write_out(trial_line(plan_.discovery, t, plan_.json));
    ++trialsTold_;
    const bool found = t.held && t.came == Came::Good;
    return (found && plan_.discovery == Discovery::Settings) || trials_.size() == rows_.size();
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
    if (plan_.discovery == Discovery::Settings) sel.settings = trials_.last().tried;
    if (plan_.discovery == Discovery::Direction) sel.signal = trials_.last().tried;
    signal_ = sel.signal;

    current_.time = QDateTime::currentDateTimeUtc();
    exchangeClock_.start();
    const TestOutcome outcome = tx_.test(sel);
    if (outcome.status == TestOutcome::Refused)
        return fail(refusal_message(outcome.refusal, option_source(outcome.refusal.box)));
    if (outcome.status == TestOutcome::PortFailed) {
        if (refusedHere(outcome.portError)) return notHeld();
        return fail(port_message(outcome.portError));
    }
    current_.request = tx_.request();
    inFlight_ = true;
    sentAny_ = true;
    // Discovery waits out the frame's own wire time too: at 1200 baud it is
    // longer than many a time-out.
    if (plan_.discovery != Discovery::None)
        wait_.start(plan_.timeoutMs + wire_ms(current_.request.size(), sel.settings));
}

// Not these settings, or no RS-485 mode, on this device or server: a row of
// the discovery, not the end of it.
bool Prober::refusedHere(const PortError &e) const {
    if (trials_.isEmpty()) return false;
    if (plan_.discovery == Discovery::Settings)
        return e.kind == PortError::Settings || e.kind == PortError::SettingsNotHeld;
    return plan_.discovery == Discovery::Direction &&
           (e.kind == PortError::Rs485Refused || e.kind == PortError::Rs485NotHeld);
}

void Prober::notHeld() {
    if (inFlight_) {
        inFlight_ = false;
        tx_.expire();
    }
    trials_.last().held = false;
    position_ = plan_.addresses.size() * plan_.channels.size();
    queue_.start();
}

// A server refuses settings only once it has answered, after the frame was
// handed over; a device that breaks down ends the run, with what came so far.
void Prober::portFailed(const PortError &e) {
    if (done_) return;
    if (refusedHere(e)) return notHeld();
    if (inFlight_) {
        inFlight_ = false;
        tx_.comm(SerialPort::EvReceive, plan_.base.model); // what the port still held
        wait_.stop();
        current_.reply = tx_.recbuf().text();
        current_.verdict = current_.reply.isEmpty() ? Verdict::Timeout : Verdict::Malformed;
        stats_.add(current_);
        if (plan_.discovery == Discovery::None && !(plan_.scan && current_.reply.isEmpty()))
            write(current_);
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
    e.reply = s.frame;
    e.verdict = Verdict::Stray;
    stats_.add(e);
    if (plan_.discovery == Discovery::None) return write(e);
    // An instrument did answer on these settings: the row says which.
    Trial &t = trials_.last();
    if (Came::Stray > t.came) {
        t.came = Came::Stray;
        t.telling = e;
    }
}

void Prober::judge(Verdict v, const CommResult &r) {
    inFlight_ = false;
    current_.verdict = v;
    current_.sum = r.sum;
    current_.value = r.value;
    current_.reply = tx_.recbuf().text();
    if (v != Verdict::Timeout) current_.latencyMs = exchangeClock_.nsecsElapsed() / 1e6;
    stats_.add(current_);
    if (plan_.discovery != Discovery::None) {
        Trial &t = trials_.last();
        const Came came = came_of(current_);
        if (came == Came::Good) t.good << current_.address;
        if (came > t.came || t.telling.time.isNull()) {
            t.came = came;
            t.telling = current_;
        }
    } else if (!(plan_.scan && v == Verdict::Timeout)) {
        write(current_);
    }
    // Not from inside the port's notification: the next test() prepares the port.
    queue_.start();
}

void Prober::write(const Exchange &e) {
    write_out(plan_.json ? json_line(e) : human_line(e));
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
    release(port_, signal_);
    port_.setPortOpen(false);
    if (plan_.discovery != Discovery::None) {
        // A trial cut short by Ctrl+C has no line: it is not counted either.
        if (trialsTold_ > 0 && exitCode != 2)
            write_out(discovery_result(plan_.discovery, trials_.first(trialsTold_), plan_.json));
    } else if (sentAny_) {
        write_out(plan_.json ? stats_.json(interrupted_) : stats_.human(interrupted_));
    }
    emit finished(exitCode);
}
