#pragma once

#include <QByteArray>
#include <optional>

// Who a frame is for or from: the concentrator address (empty without the
// prefix), the instrument address and the channel, as the digit characters
// on the line.
struct FrameHead {
    QByteArray concentrator;
    QByteArray address;
    QByteArray channel;
    bool operator==(const FrameHead &) const = default;
};

// The head of a request frame: [DC4 cc] function aaa cc.
std::optional<FrameHead> request_head(const QByteArray &request);

// The sum check of a frame: whether the received sum field equals the computed
// sum, and the five characters the verdict line shows (the received field when
// they agree, the computed sum otherwise).
struct SumCheck {
    bool ok = false;
    QByteArray shown;
};

// recbuf: everything received since the last TEST. What the checks need is
// kept up to date as each batch arrives, so an event never rescans the
// buffer and memory stays bounded however long a device talks: the sum of
// the first frame is fixed once its ETB is in, and only the first kKept
// bytes of the text itself are kept (for a person or a test to look at).
class ReplyBuffer {
public:
    static constexpr qsizetype kKept = 64 * 1024;

    void clear();
    void append(const QByteArray &batch);

    // The first kKept bytes received; size() counts them all.
    const QByteArray &text() const { return kept_; }
    qsizetype size() const { return size_; }
    bool hasAck() const { return ack_; }
    bool hasNak() const { return nak_; }

    // The verdict line for the first frame in the buffer ("OK SUM=....." or
    // "ERR SUM=....." with CR LF), judged from the first start marker (DC4 or
    // STX) and the first ETB; nothing if the buffer holds no such frame.
    std::optional<QByteArray> verdict(char startMarker) const;
    std::optional<SumCheck> check(char startMarker) const;

    // Where the first frame ends (its ETB), -1 while none has.
    qsizetype frameEnd() const { return firstEtb_; }

    // The first frame's head, from its STX (and, with startMarker DC4, the
    // prefix before it); nothing while no frame has ended or its STX is not
    // followed by five characters before the ETB.
    std::optional<FrameHead> head(char startMarker) const;

    // The value field of the first read reply (DC1 or DC2): what stands after
    // the address, the channel and, for a parameter, the last US, up to the
    // five sum digits.
    std::optional<QByteArray> value() const;

private:
    // One start marker: where it first stands, the sum of the codes from
    // there on while no ETB has come, and that sum up to five places before
    // the first ETB once it has.
    struct Marker {
        qsizetype first = -1;
        quint64 running = 0;
        quint64 computed = 0;
    };
    void scan(const QByteArray &batch);

    QByteArray kept_;
    qsizetype size_ = 0;
    Marker dc4_, stx_;
    qsizetype firstEtb_ = -1;
    char last5_[5] = {}; // the five codes before the current end, oldest first
    QByteArray field_;   // the five characters before the first ETB
    bool ack_ = false;
    bool nak_ = false;
};

// The sum written as the ERR line shows it: five characters of code 48 + digit
// (a first character after '9' for six-digit sums), plain decimal digits from
// 800000 on, where such a first character would leave ASCII.
QByteArray sum_digits(quint64 sum);
