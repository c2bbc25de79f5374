#include "releaseline.h"

#include "device.h"
#include "log.h"

#include <cerrno>
#include <chrono>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

namespace {

using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC

qint64 now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Above every ordinary thread, below the kernel's interrupt threads (50)
// that feed the UART.
constexpr int kPriority = 10;

} // namespace

ReleaseLine::ReleaseLine(const DeviceAnswers &answers, Done done)
    : answers_(answers), done_(std::move(done)),
      drain_(now_ns, {[this] { return answers_.outputQueued(fd_); },
                      [this] { return answers_.transmitterEmpty(fd_); }}) {}

ReleaseLine::~ReleaseLine() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void ReleaseLine::setPace(qint32 rate, int bitsPerChar) {
    std::lock_guard lock(mutex_);
    drain_.setPace(rate, bitsPerChar);
}

void ReleaseLine::written(int fd, qint64 chars, qint64 held, std::optional<LineLevel> level,
                          quint64 tag) {
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) start();
        fd_ = fd;
        drain_.written(chars);
        held_ = held;
        level_ = level;
        tag_ = tag;
        due_ = true;
    }
    wake_.notify_one();
}

void ReleaseLine::discarded() {
    {
        std::lock_guard lock(mutex_);
        held_ = 0;
    }
    wake_.notify_one();
}

void ReleaseLine::cancel() {
    // The thread looks at the descriptor only while it holds the lock.
    std::lock_guard lock(mutex_);
    due_ = false;
    held_ = 0;
    drain_.reset();
}

void ReleaseLine::start() {
    thread_ = std::thread(&ReleaseLine::run, this);
    const sched_param p{kPriority};
    // Where the system allows it; otherwise the ordinary scheduler, and a
    // release now and then a little later under load.
    if (const int e = pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &p))
        qCDebug(lcSerial, "release thread: no real-time scheduling (%s)",
                qPrintable(qt_error_string(e)));
    else
        qCDebug(lcSerial, "release thread: SCHED_FIFO %d", kPriority);
}

void ReleaseLine::run() {
    // Wake-ups on time, not up to 50 µs late (real-time threads have no slack anyway).
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::unique_lock lock(mutex_);
    while (!quit_) {
        // Nothing due, or the rest of a write still to come: sleep until told.
        if (!due_ || held_ > 0) {
            wake_.wait(lock);
            continue;
        }
        if (const std::optional<qint64> next = drain_.check()) {
            // An absolute time on the monotonic clock; a new write or a close wakes it early.
            wake_.wait_until(lock, Clock::time_point(std::chrono::nanoseconds(now_ns() + *next)));
            continue;
        }
        int error = 0;
        if (level_ && !answers_.setModemLine(fd_, *level_)) error = errno;
        due_ = false;
        // Under the lock, so that nothing of it comes after a cancel.
        done_(tag_, level_ ? level_->line : LineLevel::Rts, error);
    }
}
