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

std::optional<QByteArray> ReplyBuffer::verdict(char startMarker) const {
    const Marker &m = startMarker == ctl::DC4 ? dc4_ : stx_;
    const qsizetype e = firstEtb_; // 0-based: ten characters before it means e >= 10
    if (e < 10 || m.first < 0) return std::nullopt;
    quint64 received = 0;
    for (char c : field_)
        received = received * 10 + ((c >= '0' && c <= '9') ? quint64(c - '0') : 0);
    QByteArray line =
        m.computed == received ? "OK SUM=" + field_ : "ERR SUM=" + sum_digits(m.computed);
    line += "\r\n";
    return line;
}
