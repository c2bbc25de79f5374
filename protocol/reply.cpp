#include "reply.h"

#include "controls.h"
#include "frame.h"

#include <cstring>

void ReplyBuffer::clear() {
    *this = ReplyBuffer();
}

void ReplyBuffer::append(const QByteArray &batch) {
    if (kept_.size() < kKept) kept_ += batch.left(kKept - kept_.size());
    // Once everything the checks look for has been seen, nothing more can change them.
    if (!(ack_ && nak_ && firstEtb_ >= 0 && dc4_.first >= 0 && stx_.first >= 0)) scan(batch);
    size_ += batch.size();
}

void ReplyBuffer::scan(const QByteArray &batch) {
    for (qsizetype i = 0; i < batch.size(); ++i) {
        const char c = batch[i];
        const qsizetype pos = size_ + i;
        switch (c) {
        case ctl::DC4:
            if (dc4_.first < 0) dc4_.first = pos;
            break;
        case ctl::STX:
            if (stx_.first < 0) stx_.first = pos;
            break;
        case ctl::ACK:
            ack_ = true;
            break;
        case ctl::NAK:
            nak_ = true;
            break;
        default:
            break;
        }
        if (firstEtb_ >= 0) continue;
        if (c == ctl::ETB) {
            firstEtb_ = pos;
            field_ = QByteArray(last5_, 5);
            // The five codes before the ETB are the sum field, not summed; a
            // marker inside them or after the ETB leaves nothing to sum.
            for (Marker *m : {&dc4_, &stx_}) {
                if (m->first < 0 || m->first > pos - 6) continue;
                m->computed = m->running;
                for (char f : field_)
                    m->computed -= static_cast<unsigned char>(f);
            }
            continue;
        }
        const auto code = static_cast<unsigned char>(c);
        for (Marker *m : {&dc4_, &stx_})
            if (m->first >= 0) m->running += code;
        std::memmove(last5_, last5_ + 1, 4);
        last5_[4] = c;
    }
}

QByteArray sum_digits(quint64 sum) {
    if (const auto d = digit_text(double(sum), 5)) return *d;
    return QByteArray::number(sum);
}

std::optional<SumCheck> ReplyBuffer::check(char startMarker) const {
    const Marker &m = startMarker == ctl::DC4 ? dc4_ : stx_;
    const qsizetype e = firstEtb_; // 0-based: ten characters before it means e >= 10
    if (e < 10 || m.first < 0) return std::nullopt;
    quint64 received = 0;
    for (char c : field_)
        received = received * 10 + ((c >= '0' && c <= '9') ? quint64(c - '0') : 0);
    if (m.computed == received) return SumCheck{true, field_};
    return SumCheck{false, sum_digits(m.computed)};
}

std::optional<QByteArray> ReplyBuffer::verdict(char startMarker) const {
    const auto c = check(startMarker);
    if (!c) return std::nullopt;
    return (c->ok ? "OK SUM=" : "ERR SUM=") + c->shown + "\r\n";
}

std::optional<FrameHead> ReplyBuffer::head(char startMarker) const {
    using namespace ctl;
    if (firstEtb_ < 0 || firstEtb_ >= kept_.size()) return std::nullopt;
    const QByteArray frame = kept_.left(firstEtb_);
    const qsizetype stx = frame.indexOf(STX);
    if (stx < 0 || stx + 6 > frame.size()) return std::nullopt;
    FrameHead h{{}, frame.mid(stx + 1, 3), frame.mid(stx + 4, 2)};
    if (startMarker == DC4) {
        const qsizetype dc4 = frame.lastIndexOf(DC4, stx);
        if (dc4 >= 0 && dc4 + 3 <= stx) h.concentrator = frame.mid(dc4 + 1, 2);
    }
    return h;
}

std::optional<QByteArray> ReplyBuffer::value() const {
    using namespace ctl;
    const qsizetype stx = kept_.indexOf(STX);
    if (stx < 0) return std::nullopt;
    const qsizetype etb = kept_.indexOf(ETB, stx);
    const qsizetype dataEnd = etb - 5;
    if (etb < 0 || dataEnd < stx + 6) return std::nullopt;
    QByteArray data = kept_.mid(stx + 6, dataEnd - (stx + 6)); // after address and channel
    const qsizetype us = data.lastIndexOf(US);
    return us >= 0 ? data.mid(us + 1) : data;
}

std::optional<FrameHead> request_head(const QByteArray &request) {
    FrameHead h;
    qsizetype f = 0; // the function code
    if (request.startsWith(ctl::DC4)) {
        h.concentrator = request.mid(1, 2);
        f = 3;
    }
    if (request.size() < f + 6) return std::nullopt;
    h.address = request.mid(f + 1, 3);
    h.channel = request.mid(f + 4, 2);
    return h;
}
