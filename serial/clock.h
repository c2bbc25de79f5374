#pragma once

#include <QtGlobal>
#include <chrono>

// CLOCK_MONOTONIC in nanoseconds: the clock of the release, the network
// port's wire time, the simulator and the line shim's reports.
inline qint64 monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The wall clock in nanoseconds since the epoch: the time of day a capture
// shows, never for measuring.
inline qint64 wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
