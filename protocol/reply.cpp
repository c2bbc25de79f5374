#include "reply.h"

#include "controls.h"
#include "frame.h"

void ReplyBuffer::clear() {
    *this = ReplyBuffer();
}

void ReplyBuffer::append(const QByteArray &batch) {
    const qsizetype base = buf_.size();
    buf_ += batch;
    for (qsizetype i = 0; i < batch.size(); ++i) {
        switch (batch[i]) {
        case ctl::DC4:
            if (firstDc4_ < 0) firstDc4_ = base + i;
            break;
        case ctl::STX:
            if (firstStx_ < 0) firstStx_ = base + i;
            break;
        case ctl::ETB:
            if (firstEtb_ < 0) firstEtb_ = base + i;
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
    }
}

QByteArray sum_digits(quint64 sum) {
    if (const auto d = digit_text(double(sum), 5)) return *d;
    return QByteArray::number(sum);
}

std::optional<QByteArray> ReplyBuffer::verdict(char startMarker) {
    const qsizetype s = startMarker == ctl::DC4 ? firstDc4_ : firstStx_;
    const qsizetype e = firstEtb_; // 0-based: ten characters before it means e >= 10
    if (e < 10 || s < 0) return std::nullopt;
    // The first marker and the first ETB never move until the next TEST, so the
    // frame is judged once and the line reused.
    Judged &j = startMarker == ctl::DC4 ? judgedDc4_ : judgedStx_;
    if (j.start == s) return j.line;

    quint64 computed = 0;
    for (qsizetype p = s; p <= e - 6; ++p)
        computed += static_cast<unsigned char>(buf_[p]);
    quint64 received = 0;
    const QByteArray field = buf_.mid(e - 5, 5);
    for (char c : field)
        received = received * 10 + ((c >= '0' && c <= '9') ? quint64(c - '0') : 0);

    j.start = s;
    if (computed == received)
        j.line = "OK SUM=" + field;
    else
        j.line = "ERR SUM=" + sum_digits(computed);
    j.line += "\r\n";
    return j.line;
}
