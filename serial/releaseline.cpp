#include "releaseline.h"

#include "clock.h"
#include "device.h"
#include "log.h"

#include <future>

#include <cerrno>
#include <chrono>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Above every ordinary thread, below the kernel's interrupt threads (50)
// that feed the UART.
constexpr int kPriority = 10;

} // namespace

ReleaseLine::ReleaseLine(const DeviceAnswers &answers, Done done)
    : answers_(answers), done_(std::move(done)),
      drain_(monotonic_ns, {[this] { return answers_.outputQueued(fd_); },
                            [this] { return answers_.transmitterEmpty(fd_); }}) {
    // Now rather than at the first write: the scheduler puts a thread just
    // made behind those already running, and the first release came late.
    start();
}

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

void ReleaseLine::send(int fd, const QByteArray &bytes, std::optional<LineLevel> level,
                       quint64 tag) {
    {
        std::lock_guard lock(mutex_);
        fd_ = fd;
        pending_ += bytes;
        level_ = level;
        tag_ = tag;
        due_ = true;
    }
    wake_.notify_one();
}

void ReleaseLine::discard() {
    std::lock_guard lock(mutex_);
    pending_.clear();
}

void ReleaseLine::cancel() {
    // The thread looks at the descriptor only while it holds the lock.
    std::lock_guard lock(mutex_);
    due_ = false;
    pending_.clear();
    writeError_ = 0;
    drain_.reset();
}

void ReleaseLine::start() {
    // rtkit knows a thread by its kernel id, which only the thread itself can tell.
    std::promise<pid_t> told;
    std::future<pid_t> tid = told.get_future();
    thread_ = std::thread([this, told = std::move(told)]() mutable {
        ::pthread_setname_np(::pthread_self(), "kc-release");
        told.set_value(::gettid());
        run();
    });
    // Here, on the window's thread: asking rtkit blocks on the bus. Without
    // it, the ordinary scheduler, and a release now and then late under load.
    realtime_ = make_realtime(tid.get(), kPriority);
    qCDebug(lcSerial, "release thread: %s, priority %d",
            realtime_.way == Realtime::Direct  ? "SCHED_FIFO"
            : realtime_.way == Realtime::Rtkit ? "rtkit"
                                               : "ordinary scheduling",
            realtime_.priority);
}

bool ReleaseLine::writePending() {
    ssize_t n = 0;
    do {
        n = ::write(fd_, pending_.constData(), size_t(pending_.size()));
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno != EAGAIN) {
        writeError_ = errno;
        pending_.clear();
        return false;
    }
    // Their wire time starts now.
    if (n > 0) drain_.written(n);
    pending_.remove(0, std::max<qsizetype>(n, 0));
    return true;
}

void ReleaseLine::run() {
    // Wake-ups on time, not up to 50 µs late (real-time threads have no slack anyway).
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::unique_lock lock(mutex_);
    while (!quit_) {
        if (!due_) {
            wake_.wait(lock);
            continue;
        }
        std::optional<qint64> next;
        if (!pending_.isEmpty() && writePending() && !pending_.isEmpty()) {
            // The driver is full: it has room again once some of it has gone.
            next = std::max<qint64>(answers_.outputQueued(fd_) * drain_.charNs() / 2, 1'000'000);
        } else if (!writeError_) {
            next = drain_.check();
        }
        if (next) {
            // An absolute time on the monotonic clock; new bytes or a close wake it early.
            wake_.wait_until(lock, std::chrono::steady_clock::time_point(
                                       std::chrono::nanoseconds(monotonic_ns() + *next)));
            continue;
        }
        Outcome o{tag_, level_ ? level_->line : LineLevel::Rts, 0, writeError_};
        if (!writeError_ && level_ && !answers_.setModemLine(fd_, *level_)) o.lineError = errno;
        due_ = false;
        writeError_ = 0;
        // Under the lock, so that nothing of it comes after a cancel.
        done_(o);
    }
}
