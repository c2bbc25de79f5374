#include "tap.h"

#include "clock.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <unistd.h>

Tap::Tap(int masterFd, qint64 latencyNs, QObject *parent)
    : QObject(parent), fd_(masterFd), latencyNs_(latencyNs) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &Tap::pump);
}

qint64 Tap::put(qint64 startNs, const QByteArray &bytes, qint64 charNs) {
    qint64 t = std::max(startNs, wireEnd_);
    for (char b : bytes) {
        t += charNs;
        putAt(t, b);
    }
    return t;
}

void Tap::putAt(qint64 endNs, char byte) {
    if (queue_.size() >= kMaxQueued) return;
    const auto at = std::upper_bound(queue_.begin(), queue_.end(), endNs,
                                     [](qint64 t, const Char &c) { return t < c.end; });
    queue_.insert(at, {endNs, byte});
    wireEnd_ = std::max(wireEnd_, endNs);
    schedule();
}

void Tap::schedule() {
    if (queue_.empty()) return;
    const qint64 wait = queue_.front().end + latencyNs_ - monotonic_ns();
    timer_.start(int(std::max<qint64>(0, wait / 1'000'000 - 1)));
}

void Tap::pump() {
    // The timer wakes in whole milliseconds, early; the rest is slept to the
    // character's own end, so the tap's gaps are the wire's to a few microseconds.
    if (!queue_.empty()) {
        const qint64 due = queue_.front().end + latencyNs_;
        if (due - monotonic_ns() < 1'500'000) {
            const timespec t{time_t(due / 1'000'000'000), long(due % 1'000'000'000)};
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
            }
        }
    }
    const qint64 now = monotonic_ns();
    QByteArray due;
    while (!queue_.empty() && queue_.front().end + latencyNs_ <= now) {
        due += queue_.front().byte;
        queue_.pop_front();
    }
    for (qsizetype done = 0; done < due.size();) {
        const ssize_t n = ::write(fd_, due.constData() + done, size_t(due.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // nobody reads the tap: lost, as on a full line
        done += n;
    }
    schedule();
}
