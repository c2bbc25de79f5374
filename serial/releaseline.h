#pragma once

#include "drain.h"
#include "realtime.h"
#include "serialport.h"

#include <QByteArray>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class DeviceAnswers;

// Writes to the device and sets the direction line back to its receive level
// the moment the last bit has left the wire, on a thread of its own, so that a
// busy window or a loaded machine cannot hold it back. The thread writes and
// takes the time at once (a writer preempted between the two would push the
// release late), sleeps until the wire time is up, looks at the transmitter
// where the driver tells (every 100 µs until it is empty), and sets the line
// at once. It touches nothing but the device's output, its modem lines, the
// driver's queue count and the clock.
//
// The calls below come from one thread (the window's); `done` runs on the line
// thread after each release.
class ReleaseLine {
public:
    struct Outcome {
        quint64 tag;
        LineLevel::Line line;
        int lineError;  // errno of a line the device refused, or 0
        int writeError; // errno of a write that failed (nothing released), or 0
    };
    using Done = std::function<void(const Outcome &)>;

    ReleaseLine(const DeviceAnswers &answers, Done done);
    ~ReleaseLine();
    ReleaseLine(const ReleaseLine &) = delete;
    ReleaseLine &operator=(const ReleaseLine &) = delete;

    void setPace(qint32 rate, int bitsPerChar);
    // `bytes` go out on `fd` after whatever was sent before; once all of it has
    // left the wire, the line goes to `level` and `done` follows with `tag`. A
    // release still due is moved on to the end of these bytes.
    void send(int fd, const QByteArray &bytes, std::optional<LineLevel> level, quint64 tag);
    // Bytes not yet written are dropped.
    void discard();
    // The descriptor is about to close: once this returns, the thread does not
    // touch it again, and no done follows for what was sent before.
    void cancel();
    // How the thread got real-time priority, or why not.
    const Realtime &realtime() const { return realtime_; }

private:
    void run();
    void start();
    // False once the write failed.
    bool writePending();

    const DeviceAnswers &answers_;
    Done done_;
    std::mutex mutex_;
    std::condition_variable wake_;
    SendDrain drain_;
    int fd_ = -1;
    QByteArray pending_; // not yet taken by the driver
    std::optional<LineLevel> level_;
    quint64 tag_ = 0;
    int writeError_ = 0;
    bool due_ = false;
    bool quit_ = false;
    Realtime realtime_;
    std::thread thread_;
};
