#include "simserver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

void log_line(const QString &text) {
    std::fprintf(stderr, "kestrova-sim: %s\n", qPrintable(text));
    std::fflush(stderr);
}

SimServer::SimServer(int fd, sim::SimCore &core, LineTiming timing, QObject *parent)
    : QObject(parent), fd_(fd), core_(core), timing_(timing), notifier_(fd, QSocketNotifier::Read) {
    clock_.start();
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &SimServer::pump);
    connect(&notifier_, &QSocketNotifier::activated, this, &SimServer::onReadable);
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
    const QList<sim::Event> events = core_.feed(QByteArray(buf, int(n)));
    for (const sim::Event &e : events)
        report(e);
    pump();
}

void SimServer::report(const sim::Event &e) {
    using sim::Event;
    const QString shown =
        sim::readable(e.bytes) + QStringLiteral("  [") + sim::hex(e.bytes) + QLatin1Char(']');
    switch (e.kind) {
    case Event::Echo:
        log_line(QStringLiteral("回显 ") + shown);
        queue_.enqueue({0, e.bytes});
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
    for (qsizetype i = 0; i < e.writes.size(); ++i)
        queue_.enqueue({i == 0 ? timing_.delayMs : timing_.splitGapMs, e.writes[i]});
}

bool SimServer::writeSome(Step &s, qsizetype count) {
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

void SimServer::pump() {
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
