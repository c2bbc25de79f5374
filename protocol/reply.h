#pragma once

#include <QByteArray>
#include <optional>

// recbuf: everything received since the last TEST, with what the checks need
// kept up to date as each batch arrives, so an event never rescans the buffer.
class ReplyBuffer {
public:
    void clear();
    void append(const QByteArray &batch);

    const QByteArray &text() const { return buf_; }
    bool hasAck() const { return ack_; }
    bool hasNak() const { return nak_; }

    // The verdict line for the first frame in the buffer ("OK SUM=....." or
    // "ERR SUM=....." with CR LF), judged from the first start marker (DC4 or
    // STX) and the first ETB; nothing if the buffer holds no such frame.
    std::optional<QByteArray> verdict(char startMarker);

private:
    struct Judged {
        qsizetype start = -1;
        QByteArray line;
    };
    QByteArray buf_;
    qsizetype firstDc4_ = -1;
    qsizetype firstStx_ = -1;
    qsizetype firstEtb_ = -1;
    bool ack_ = false;
    bool nak_ = false;
    Judged judgedDc4_;
    Judged judgedStx_;
};

// The sum written as the ERR line shows it: five characters of code 48 + digit
// (a first character after '9' for six-digit sums), plain decimal digits from
// 800000 on, where such a first character would leave ASCII.
QByteArray sum_digits(quint64 sum);
