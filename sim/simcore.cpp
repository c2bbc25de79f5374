#include "simcore.h"

#include "controls.h"
#include "frame.h"
#include "readable.h"

#include <QStringList>

namespace sim {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool all_digits(const QByteArray &b) {
    for (char c : b)
        if (!is_digit(c)) return false;
    return !b.isEmpty();
}

bool starts_function(char c) {
    return c == ctl::DC1 || c == ctl::DC2 || c == ctl::DC3;
}

QByteArray five_digits(quint64 v) {
    // Values are bounded (maxValue), so a reply's sum always fits five digits.
    return digit_text(double(v % 100000), 5).value_or(QByteArray("00000"));
}

int parse_count(const QString &text, int lo, int hi, bool *ok) {
    bool good = false;
    const int v = text.toInt(&good);
    *ok = good && v >= lo && v <= hi;
    return v;
}

} // namespace

Instrument make_instrument(int address, int channels, int parameters,
                           const std::optional<QByteArray> &pv) {
    Instrument ins;
    for (int c = 1; c <= channels; ++c) {
        Channel &ch = ins.channels[c];
        ch.pv = pv ? *pv : QByteArray::number(address) + '.' + QByteArray::number(c);
        for (int p = 1; p <= parameters; ++p)
            ch.parameters[p] = QByteArray::number(p).rightJustified(4, '0') + ".0";
    }
    return ins;
}

Bus standard_bus() {
    Bus bus;
    for (int a = 1; a <= 3; ++a)
        bus[a] = make_instrument(a, 4, 20);
    bus[1].channels[1].pv = "23.4";
    return bus;
}

std::optional<std::pair<int, Instrument>> parse_instrument(const QString &desc) {
    const QStringList parts = desc.split(QLatin1Char(':'));
    if (parts.size() > 4) return std::nullopt;
    bool ok = false;
    const int address = parse_count(parts[0], 0, 999, &ok);
    if (!ok) return std::nullopt;
    int channels = 4;
    int parameters = 20;
    if (parts.size() > 1) {
        channels = parse_count(parts[1], 1, 99, &ok);
        if (!ok) return std::nullopt;
    }
    if (parts.size() > 2) {
        parameters = parse_count(parts[2], 0, 99, &ok);
        if (!ok) return std::nullopt;
    }
    std::optional<QByteArray> pv;
    if (parts.size() > 3) {
        const QString &text = parts[3];
        if (text.isEmpty() || text.size() > SimCore::maxValue) return std::nullopt;
        for (QChar c : text)
            if (c.unicode() < 32 || c.unicode() > 126) return std::nullopt;
        pv = text.toLatin1();
    }
    return std::make_pair(address, make_instrument(address, channels, parameters, pv));
}

SimCore::SimCore(Bus bus, int concentrator, Faults faults)
    : bus_(std::move(bus)), concentrator_(concentrator), faults_(faults) {
    if (faults_.split < 1) faults_.split = 1;
}

QList<Event> SimCore::feed(const QByteArray &bytes) {
    QList<Event> out;
    if (faults_.echo && !bytes.isEmpty()) out.append(Event{Event::Echo, bytes, {}, {bytes}, {}});
    for (char c : bytes)
        take(c, out);
    flushSkipped(out);
    return out;
}

void SimCore::flushSkipped(QList<Event> &out) {
    if (skipped_.isEmpty()) return;
    out.append(Event{Event::Skipped, skipped_, {}, {}, {}});
    skipped_.clear();
}

void SimCore::take(char c, QList<Event> &out) {
    using namespace ctl;
    if (frame_.isEmpty()) {
        if (c == DC4 || starts_function(c))
            frame_ += c;
        else
            skipped_ += c;
        return;
    }
    if (c == ETX) {
        frame_ += c;
        flushSkipped(out);
        out.append(judge(frame_));
        frame_.clear();
        return;
    }
    // A start character where none belongs begins a new frame: what came
    // before it was noise. After the prefix the function code is expected.
    const bool functionSlot = frame_.size() == 3 && frame_[0] == DC4;
    if (c == DC4 || (starts_function(c) && !functionSlot)) {
        skipped_ += frame_;
        frame_ = QByteArray(1, c);
        return;
    }
    frame_ += c;
    if (frame_.size() > maxFrame) {
        skipped_ += frame_;
        frame_.clear();
    }
}

quint64 SimCore::sumOf(const QByteArray &bytes) {
    quint64 s = frame_sum(bytes);
    ++sums_;
    if (faults_.badSumEvery > 0 && sums_ % faults_.badSumEvery == 0) ++s;
    return s;
}

Event SimCore::answer(const QByteArray &frame, QByteArray reply, const QString &note) {
    ++replies_;
    if (faults_.dropEvery > 0 && replies_ % faults_.dropEvery == 0)
        return Event{Event::Dropped, frame, reply, {}, note};
    QList<QByteArray> writes;
    const qsizetype pieces = qMin<qsizetype>(faults_.split, reply.size());
    qsizetype from = 0;
    for (qsizetype i = 0; i < pieces; ++i) {
        const qsizetype to = reply.size() * (i + 1) / pieces;
        writes.append(reply.mid(from, to - from));
        from = to;
    }
    return Event{Event::Answered, frame, reply, writes, note};
}

Event SimCore::judge(const QByteArray &frame) {
    using namespace ctl;
    auto silent = [&frame](const QString &why) { return Event{Event::Silent, frame, {}, {}, why}; };

    // Concentrator prefix: DC4 and two digits.
    QByteArray prefix;
    QByteArray block = frame;
    if (frame[0] == DC4) {
        prefix = frame.left(3);
        if (frame.size() < 4 || !all_digits(prefix.mid(1)))
            return silent(QStringLiteral("前缀不完整"));
        const int target = prefix.mid(1).toInt();
        if (target != concentrator_)
            return silent(QStringLiteral("集中器地址 %1 不是本机").arg(target));
        block = frame.mid(3);
    }
    const char function = block[0];
    if (!starts_function(function)) return silent(QStringLiteral("无功能码"));
    const QByteArray body = block.mid(1, block.size() - 2); // without function and ETX
    const QByteArray addrText = body.left(3);
    const QByteArray chanText = body.mid(3, 2);
    if (body.size() < 5 || !all_digits(body.left(5)))
        return silent(QStringLiteral("地址或通道不是数字"));

    const int address = addrText.toInt();
    const auto ins = bus_.find(address);

    if (function == DC1) {
        if (body.size() != 5) return silent(QStringLiteral("读PV帧格式错"));
        if (ins == bus_.end())
            return silent(QStringLiteral("无此地址 %1").arg(QString::fromLatin1(addrText)));
        const auto ch = ins->channels.constFind(chanText.toInt());
        if (ch == ins->channels.cend())
            return answer(frame, prefix + NAK, QStringLiteral("无此通道"));
        QByteArray reply = prefix + STX + addrText + chanText + ch->pv;
        reply += five_digits(sumOf(reply));
        reply += ETB;
        return answer(frame, reply, {});
    }

    if (function == DC2) {
        if (body.size() != 8 || body[5] != US || !all_digits(body.mid(6, 2)))
            return silent(QStringLiteral("读参数帧格式错"));
        if (ins == bus_.end())
            return silent(QStringLiteral("无此地址 %1").arg(QString::fromLatin1(addrText)));
        const QByteArray parText = body.mid(6, 2);
        const auto ch = ins->channels.constFind(chanText.toInt());
        if (ch == ins->channels.cend())
            return answer(frame, prefix + NAK, QStringLiteral("无此通道"));
        const auto par = ch->parameters.constFind(parText.toInt());
        if (par == ch->parameters.cend())
            return answer(frame, prefix + NAK, QStringLiteral("无此参数"));
        QByteArray reply = prefix + STX + addrText + chanText + US + parText + US + *par;
        reply += five_digits(sumOf(reply));
        reply += ETB;
        return answer(frame, reply, {});
    }

    // DC3: address, channel, US, parameter, US, value, US, five sum digits.
    const qsizetype n = body.size();
    if (n < 15 || body[5] != US || !all_digits(body.mid(6, 2)) || body[8] != US ||
        body[n - 6] != US)
        return silent(QStringLiteral("写参数帧格式错"));
    if (ins == bus_.end())
        return silent(QStringLiteral("无此地址 %1").arg(QString::fromLatin1(addrText)));
    const QByteArray value = body.mid(9, n - 6 - 9);
    const QByteArray sumField = body.right(5);
    const quint64 expected = sumOf(frame.left(frame.size() - 6));
    if (!all_digits(sumField) || sumField.toULongLong() != expected)
        return answer(
            frame, prefix + NAK,
            QStringLiteral("校验和错，应为 %1").arg(QString::fromLatin1(five_digits(expected))));
    const auto ch = bus_[address].channels.find(chanText.toInt());
    if (ch == bus_[address].channels.end())
        return answer(frame, prefix + NAK, QStringLiteral("无此通道"));
    const auto par = ch->parameters.find(body.mid(6, 2).toInt());
    if (par == ch->parameters.end()) return answer(frame, prefix + NAK, QStringLiteral("无此参数"));
    if (value.size() > maxValue) return answer(frame, prefix + NAK, QStringLiteral("参数值过长"));
    *par = value;
    return answer(frame, prefix + ACK, QStringLiteral("已存 %1").arg(QString::fromLatin1(value)));
}

QByteArray line_output(const QList<Event> &events) {
    QByteArray out;
    for (const Event &e : events)
        for (const QByteArray &w : e.writes)
            out += w;
    return out;
}

QString readable(const QByteArray &bytes) {
    return ::readable(bytes, Brackets::Ascii);
}

QString hex(const QByteArray &bytes) {
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace sim
