#include "drain.h"

#include <algorithm>

SendDrain::SendDrain(Clock clock, Device device)
    : clock_(std::move(clock)), device_(std::move(device)) {}

void SendDrain::setPace(qint32 rate, int bitsPerChar) {
    if (rate > 0 && bitsPerChar > 0)
        charNs_ = (qint64(bitsPerChar) * 1'000'000'000LL + rate - 1) / rate;
}

void SendDrain::written(qint64 chars) {
    busyUntil_ = std::max(busyUntil_, clock_()) + chars * charNs_;
}

std::optional<qint64> SendDrain::check() {
    const qint64 now = clock_();
    // Their wire time starts when they are written.
    if (device_.unwritten() > 0) return kPollNs;
    if (const qint64 queued = device_.queued(); queued > 0) {
        // Not even in the hardware yet: each still needs its own time on the wire.
        busyUntil_ = std::max(busyUntil_, now + queued * charNs_);
        return kPollNs;
    }
    if (const std::optional<bool> empty = device_.transmitterEmpty()) {
        // No transmitter is faster than its line.
        if (now < busyUntil_) return busyUntil_ - now;
        return *empty ? std::nullopt : std::optional<qint64>(kPollNs);
    }
    const qint64 deadline = busyUntil_ + std::max(charNs_, kMinMarginNs);
    if (now < deadline) return deadline - now;
    return std::nullopt;
}
