#include "drain.h"

#include "chartime.h"

#include <algorithm>
#include <utility>

SendDrain::SendDrain(Clock clock, Device device)
    : clock_(std::move(clock)), device_(std::move(device)) {}

void SendDrain::setPace(qint32 rate, int bitsPerChar) {
    if (rate > 0 && bitsPerChar > 0) charNs_ = kc_char_ns(bitsPerChar, rate);
}

void SendDrain::written(qint64 chars) {
    busyUntil_ = std::max(busyUntil_, clock_()) + chars * charNs_;
}

std::optional<qint64> SendDrain::check() {
    const qint64 now = clock_();
    // Nothing written can have left before its wire time, so the driver's count
    // tells nothing until then. Looked at sooner, it still counts what a USB
    // adapter has in flight or a pseudo-terminal's reader has not yet taken,
    // and those would be counted again from the look that saw them go.
    if (lastQueued_ == 0 && now < busyUntil_) return busyUntil_ - now;
    // Those the driver holds each still need their own time on the wire.
    if (const qint64 queued = device_.queued(); queued > 0) {
        busyUntil_ = std::max(busyUntil_, now + queued * charNs_);
        lastQueued_ = queued;
        // When they leave the driver is not told: look again soon.
        return std::min(busyUntil_ - now, kQueueLookNs);
    }
    // They left at some moment since the last look: count them from now, a
    // look late at worst, never early.
    if (lastQueued_ > 0)
        busyUntil_ = std::max(busyUntil_, now + std::exchange(lastQueued_, 0) * charNs_);
    if (now < busyUntil_) return busyUntil_ - now;
    if (const std::optional<bool> empty = device_.transmitterEmpty())
        return *empty ? std::nullopt : std::optional<qint64>(kPollNs);
    const qint64 deadline = busyUntil_ + std::clamp(charNs_, kMinMarginNs, kMaxMarginNs);
    if (now < deadline) return deadline - now;
    return std::nullopt;
}
