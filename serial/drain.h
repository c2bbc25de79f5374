#pragma once

#include <QtGlobal>
#include <functional>
#include <optional>

// Decides when everything handed to the driver has physically left the port,
// so that the converter may be switched back to receiving.
//
// The driver is asked how many characters it still holds and, where it can
// tell, whether the transmitter is empty (a UART's TEMT bit). The count does
// not see a UART's FIFO or a USB adapter's own buffer, so where the bit is not
// answered the wire time of what was written, counted from the write, stands
// in for it, with a margin: one character, but at least a millisecond (a USB
// adapter sends from the next bus frame) and at most two (at slow rates a
// whole character would hold the bus into the instrument's reply).
class SendDrain {
public:
    using Clock = std::function<qint64()>; // monotonic, nanoseconds
    struct Device {
        std::function<qint64()> queued;                        // still in the driver
        std::function<std::optional<bool>()> transmitterEmpty; // nothing: not answered
    };
    static constexpr qint64 kPollNs = 100'000; // the empty bit, looked at this often
    static constexpr qint64 kMinMarginNs = 1'000'000;
    static constexpr qint64 kMaxMarginNs = 2'000'000;
    // While the driver still holds characters: not more often, not less (the
    // margin covers one look's worth of lateness in seeing them go).
    static constexpr qint64 kQueueLookNs = 1'000'000;

    SendDrain(Clock clock, Device device);

    // The pace of the line as the device holds it.
    void setPace(qint32 rate, int bitsPerChar);
    // `chars` characters reached the driver now; they go out after whatever
    // was written before.
    void written(qint64 chars);
    // Nothing once everything written has left; otherwise nanoseconds until
    // the next look.
    std::optional<qint64> check();
    // The port closed: nothing is on its way any more.
    void reset() {
        busyUntil_ = 0;
        lastQueued_ = 0;
    }

    qint64 charNs() const { return charNs_; }

private:
    Clock clock_;
    Device device_;
    qint64 charNs_ = 11 * 1'000'000'000LL / 9600;
    qint64 lastQueued_ = 0; // held by the driver at the last look
    qint64 busyUntil_ = 0;  // when the last character counted so far has left
};
