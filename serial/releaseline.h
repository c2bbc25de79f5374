#pragma once

#include "drain.h"
#include "serialport.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class DeviceAnswers;

// Sets the direction line back to its receive level the moment the last bit
// of what was written has left the wire, on a thread of its own, so that a
// busy window or a loaded machine cannot hold it back. The thread sleeps until
// the wire time is up, looks at the transmitter where the driver tells (every
// 100 µs until it is empty), and sets the line at once. It touches nothing but
// the device's modem lines, the driver's queue count and the clock.
//
// The calls below come from one thread (the window's); `done` runs on the line
// thread after each release, with the line's errno where the device refused it.
class ReleaseLine {
public:
    using Done = std::function<void(quint64 tag, LineLevel::Line line, int error)>;

    ReleaseLine(const DeviceAnswers &answers, Done done);
    ~ReleaseLine();
    ReleaseLine(const ReleaseLine &) = delete;
    ReleaseLine &operator=(const ReleaseLine &) = delete;

    void setPace(qint32 rate, int bitsPerChar);
    // `chars` reached the driver of `fd` now and `held` more still wait to be
    // handed to it (the release waits for them). Then the line goes to
    // `level`, and `done` follows with `tag`. A release still due is moved on.
    void written(int fd, qint64 chars, qint64 held, std::optional<LineLevel> level, quint64 tag);
    // What was still to be handed over is dropped.
    void discarded();
    // The descriptor is about to close: once this returns, the thread does not
    // touch it again, and no done follows for what was written before.
    void cancel();

private:
    void run();
    void start();

    const DeviceAnswers &answers_;
    Done done_;
    std::mutex mutex_;
    std::condition_variable wake_;
    SendDrain drain_;
    int fd_ = -1;
    qint64 held_ = 0;
    std::optional<LineLevel> level_;
    quint64 tag_ = 0;
    bool due_ = false;
    bool quit_ = false;
    std::thread thread_;
};
