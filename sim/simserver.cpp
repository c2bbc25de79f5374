#include "simserver.h"

#include "controls.h"
#include "device.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

void log_line(const QString &text) {
    std::fprintf(stderr, "kestrova-sim: %s\n", qPrintable(text));
    std::fflush(stderr);
}

SimServer::SimServer(int fd, sim::SimCore &core, LineTiming timing, LineSetup line, QObject *parent)
    : QObject(parent), fd_(fd), timing_(timing), line_(line), core_(core),
      notifier_(fd, QSocketNotifier::Read) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &SimServer::due);
    connect(&notifier_, &QSocketNotifier::activated, this, &SimServer::onReadable);
    struct stat st {};
    if (line_.slaveFd >= 0 && ::fstat(line_.slaveFd, &st) == 0) slaveDevice_ = st.st_rdev;
    if (line_.reportFd >= 0) {
        reports_.emplace(line_.reportFd, QSocketNotifier::Read);
        connect(&*reports_, &QSocketNotifier::activated, this, &SimServer::onReports);
    }
}

// Empty when the console's settings are the instruments', or cannot be seen
// (a serial device: there the wire itself garbles what does not match).
QString SimServer::mismatch() const {
    if (asked_) return sim::settings_mismatch(line_.instruments, *asked_, true);
    if (line_.slaveFd < 0) return {};
    const std::optional<TermiosAnswer> seen = DeviceAnswers().lineSettings(line_.slaveFd);
    return seen ? sim::settings_mismatch(line_.instruments, settings_of(*seen), false) : QString();
}

void SimServer::onReadable() {
    char buf[4096];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        notifier_.setEnabled(false);
        emit lineFailed(n == 0 ? QStringLiteral("线路已关闭")
                               : QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    // The settings asked for before these bytes were written are reported by
    // now; on the half-duplex bus the reports tell what went on the wire, and when.
    onReports();
    received(QByteArray(buf, int(n)));
}

void HalfDuplexServer::received(const QByteArray &) {
    if (!reported_ && !unreportedTold_) {
        unreportedTold_ = true;
        log_line(
            QStringLiteral("线路上来了字符，却没有控制台的报告：控制台要预载 libkc_lineshim.so，"
                           "并以 KC_BUS_SOCKET 指向 --report-socket；不予理会"));
    }
}

void SimServer::take(const QByteArray &bytes, qint64 quietAt) {
    if (const QString why = mismatch(); !why.isEmpty()) {
        // A mis-set UART makes garbage of the frame: nothing to answer.
        log_line(QStringLiteral("收到 ") + sim::readable(bytes) + QStringLiteral("  [") +
                 sim::hex(bytes) + QLatin1Char(']'));
        log_line(QStringLiteral("线路设置不符（%1）：").arg(why) +
                 (line_.noise ? QStringLiteral("回复乱码") : QStringLiteral("不回复")));
        if (!line_.noise) return;
        const QByteArray noise = sim::noise_for(bytes);
        answer({sim::Event::Answered, bytes, noise, {noise}, {}}, quietAt);
        return;
    }
    for (const sim::Event &e : core_.feed(bytes)) {
        log(e);
        answer(e, quietAt);
    }
}

void PlainLineServer::received(const QByteArray &bytes) {
    // On the wire from their arrival, one character after another.
    if (tap_) tap_->put(monotonic_ns(), bytes, char_ns(line_.instruments));
    take(bytes);
    pump();
}

void PlainLineServer::answer(const sim::Event &e, qint64) {
    if (e.kind == sim::Event::Echo) queue_.enqueue({0, e.bytes});
    if (e.kind != sim::Event::Answered) return;
    for (qsizetype i = 0; i < e.writes.size(); ++i)
        queue_.enqueue({i == 0 ? timing_.delayMs : timing_.splitGapMs, e.writes[i]});
    // The echo is the request itself on a two-wire bus: the tap heard it once.
    if (!tap_) return;
    qint64 at = tap_->wireEnd() + qint64(timing_.delayMs) * 1'000'000;
    for (qsizetype i = 0; i < e.writes.size(); ++i) {
        if (i > 0) at += qint64(timing_.splitGapMs) * 1'000'000;
        at = tap_->put(at, e.writes[i], char_ns(line_.instruments));
    }
}

void HalfDuplexServer::answer(const sim::Event &e, qint64 quietAt) {
    // Echo and split belong to the plain line.
    if (e.kind == sim::Event::Answered)
        bus_.reply(quietAt + qint64(timing_.delayMs) * 1'000'000, e.reply,
                   char_ns(line_.instruments));
}

void SimServer::readReports() {
    char buf[4096];
    while (line_.reportFd >= 0) {
        const ssize_t n = ::recv(line_.reportFd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        const std::optional<sim::Report> r = sim::parse_report(QByteArray(buf, int(n)));
        // Our own calls (the library preloaded here too) and other devices are no concern.
        if (!r || r->pid == ::getpid() || (slaveDevice_ && r->device != slaveDevice_)) continue;
        if (r->kind == sim::Report::Termios) asked_ = settings_of({r->value, r->cflag});
        reported(*r);
    }
}

void HalfDuplexServer::reported(const sim::Report &r) {
    reported_ = true;
    if (r.kind == sim::Report::Write)
        bus_.consoleWrote(r.ns, r.bytes, char_ns(asked_.value_or(line_.instruments)));
    else if (r.kind == sim::Report::Modem)
        bus_.modemCall(r.ns, r.op, r.value);
    else if (r.kind == sim::Report::Rs485)
        bus_.rs485(r.ns, r.value);
}

void HalfDuplexServer::advanceBus() {
    // The clock first, then every report sent before it: a timer served ahead
    // of the notifier must not judge a character without the line change that
    // saved it.
    const qint64 now = monotonic_ns();
    readReports();
    for (const sim::HalfDuplexBus::Char &c : bus_.settledConsole(now)) {
        ++burstChars_;
        // The console's converter drove the wire: a listener heard it as the instruments did.
        if (c.heard && tap_) tap_->putAt(c.end, c.byte);
        if (c.heard)
            heard_ += c.byte;
        else
            ++heardLost_;
        if (burstStart_ == 0) burstStart_ = c.start;
        // Frames end at ETX: the reply of each counts from the silence after it.
        const bool last = c.end == c.quietAt;
        if (!heard_.isEmpty() && (c.byte == ctl::ETX || last)) {
            take(heard_, c.quietAt);
            heard_.clear();
        }
        if (!last) continue;
        const std::optional<qint64> stop = bus_.stopsSending(burstStart_);
        QString note = QStringLiteral("控制台的 %1 个字符在线上 %2 ms")
                           .arg(burstChars_)
                           .arg(double(c.end - burstStart_) / 1e6, 0, 'f', 2);
        if (!stop)
            note += QStringLiteral("；转换器仍在发送方向");
        else if (*stop <= burstStart_)
            note += QStringLiteral("；转换器不在发送方向");
        else
            note += QStringLiteral("；转换器在最后一位之%1 %2 ms 回到接收方向")
                        .arg(*stop < c.end ? QStringLiteral("前") : QStringLiteral("后"))
                        .arg(double(qAbs(*stop - c.end)) / 1e6, 0, 'f', 2);
        if (heardLost_ > 0) note += QStringLiteral("；%1 个字符没有到达仪表").arg(heardLost_);
        log_line(note);
        heardLost_ = 0;
        burstChars_ = 0;
        burstStart_ = 0;
    }
    int lost = 0;
    QList<sim::HalfDuplexBus::Char> through;
    const QByteArray sent = bus_.settledReply(now, &lost, &through);
    for (const sim::HalfDuplexBus::Char &c : through)
        if (tap_) tap_->putAt(c.end, c.byte);
    replyLost_ += lost;
    if (!sent.isEmpty())
        for (qsizetype done = 0; done < sent.size();) {
            const ssize_t n = ::write(fd_, sent.constData() + done, size_t(sent.size() - done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break; // a full line loses them, as a bus would
            done += n;
        }
    if (replyLost_ > 0 && !bus_.replying()) {
        log_line(QStringLiteral("回复的 %1 个字符与控制台一侧的发送相撞，丢失").arg(replyLost_));
        replyLost_ = 0;
    }
    if (const std::optional<qint64> due = bus_.nextDue())
        timer_.start(int(qMax<qint64>(0, (*due - now + 999'999) / 1'000'000)));
}

void SimServer::log(const sim::Event &e) {
    using sim::Event;
    const QString shown =
        sim::readable(e.bytes) + QStringLiteral("  [") + sim::hex(e.bytes) + QLatin1Char(']');
    switch (e.kind) {
    case Event::Echo:
        log_line(QStringLiteral("回显 ") + shown);
        return;
    case Event::Skipped:
        log_line(QStringLiteral("略过 ") + shown);
        return;
    case Event::Silent:
        log_line(QStringLiteral("收到 ") + shown);
        log_line(QStringLiteral("不回复：") + e.note);
        return;
    case Event::Dropped:
    case Event::Answered:
        break;
    }
    log_line(QStringLiteral("收到 ") + shown);
    QString line =
        (e.kind == Event::Dropped ? QStringLiteral("丢弃回复 ") : QStringLiteral("回复 ")) +
        sim::readable(e.reply) + QStringLiteral("  [") + sim::hex(e.reply) + QLatin1Char(']');
    if (e.writes.size() > 1) line += QStringLiteral("，分 %1 次写出").arg(e.writes.size());
    if (!e.note.isEmpty()) line += QStringLiteral("（%1）").arg(e.note);
    log_line(line);
}

bool PlainLineServer::writeSome(Step &s, qsizetype count) {
    while (count > 0) {
        const ssize_t n = ::write(fd_, s.bytes.constData() + stepSent_, size_t(count));
        if (n > 0) {
            stepSent_ += n;
            count -= n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            log_line(QStringLiteral("写出失败：") + QString::fromLocal8Bit(std::strerror(errno)));
            stepSent_ = s.bytes.size(); // give the step up
            return true;
        }
        return false; // the line is full; try again shortly
    }
    return true;
}

void PlainLineServer::pump() {
    while (!queue_.isEmpty()) {
        Step &s = queue_.head();
        const qint64 now = clock_.elapsed();
        if (!stepStarted_) {
            // A step becomes the head when the one before has gone out, or
            // when it is queued on an idle line: its wait counts from there.
            stepDue_ = now + s.waitMs;
            stepStarted_ = true;
            stepSent_ = 0;
        }
        if (now < stepDue_) {
            timer_.start(int(stepDue_ - now));
            return;
        }
        qsizetype want = s.bytes.size() - stepSent_;
        if (timing_.charMicros > 0) {
            // One character per character time, the first at once.
            const qint64 due =
                (clock_.nsecsElapsed() / 1000 - stepDue_ * 1000) / timing_.charMicros + 1;
            want = qBound<qsizetype>(0, qsizetype(due) - stepSent_, want);
        }
        if (!writeSome(s, want)) {
            timer_.start(1);
            return;
        }
        if (stepSent_ < s.bytes.size()) {
            timer_.start(1);
            return;
        }
        queue_.dequeue();
        stepStarted_ = false;
    }
}
