#include "linemodel.h"

#include <algorithm>
#include <limits>
#include <linux/serial.h>
#include <sys/ioctl.h>

namespace sim {

namespace {

bool two_stops(const LineSettings &s) {
    // termios knows no 1.5: it is two stop bits on a UART.
    return s.stopBits != QSerialPort::OneStop;
}

QString rate_and_stops(const LineSettings &s) {
    return QStringLiteral("%1 波特、%2 个停止位").arg(s.rate).arg(two_stops(s) ? 2 : 1);
}

} // namespace

int HalfDuplexBus::applied(int bits, const Call &c) {
    return c.op == "bis"   ? (bits | int(c.bits))
           : c.op == "bic" ? (bits & ~int(c.bits))
                           : int(c.bits);
}

QString settings_mismatch(const LineSettings &instruments, const LineSettings &console, bool full) {
    bool same = instruments.rate == console.rate && two_stops(instruments) == two_stops(console);
    if (full)
        same = same && instruments.parity == console.parity &&
               instruments.dataBits == console.dataBits;
    if (same) return {};
    if (full)
        return QStringLiteral("控制台 %1，仪表 %2")
            .arg(settings_text(console), settings_text(instruments));
    return QStringLiteral("控制台 %1，仪表 %2")
        .arg(rate_and_stops(console), rate_and_stops(instruments));
}

QByteArray noise_for(const QByteArray &reply) {
    QByteArray out;
    for (qsizetype i = 0; i < reply.size(); i += 4)
        out += char(0x80 | (quint8(reply[i]) ^ 0x5a));
    while (out.size() < 2)
        out += char(0xfe);
    return out;
}

std::optional<Report> parse_report(const QByteArray &text) {
    const QList<QByteArray> f = text.trimmed().split(' ');
    if (f.size() < 5) return std::nullopt;
    Report r{};
    bool ok[3] = {};
    r.pid = f[1].toLongLong(&ok[0]);
    r.device = f[2].toULongLong(&ok[1]);
    r.ns = f[3].toLongLong(&ok[2]);
    if (!ok[0] || !ok[1] || !ok[2]) return std::nullopt;
    bool good = true;
    if (f[0] == "W" && f.size() == 5) {
        r.kind = Report::Write;
        r.bytes = QByteArray::fromHex(f[4]);
        good = !r.bytes.isEmpty();
    } else if (f[0] == "L" && f.size() == 6) {
        r.kind = Report::Modem;
        r.op = f[4];
        r.value = f[5].toUInt(&good);
        good = good && (r.op == "bis" || r.op == "bic" || r.op == "set");
    } else if (f[0] == "T" && f.size() == 6) {
        r.kind = Report::Termios;
        bool cflag = false;
        r.value = f[4].toUInt(&good);
        r.cflag = f[5].toUInt(&cflag);
        good = good && cflag;
    } else if (f[0] == "R" && f.size() == 5) {
        r.kind = Report::Rs485;
        r.value = f[4].toUInt(&good);
    } else {
        return std::nullopt;
    }
    return good ? std::optional<Report>(r) : std::nullopt;
}

std::optional<Converter> parse_converter(const QString &text) {
    const QString t = text.trimmed().toUpper();
    if (t == QLatin1String("AUTO")) return Converter{Converter::Auto, false};
    static const struct {
        const char *text;
        Converter c;
    } rows[] = {{"RTS=0", {Converter::Rts, false}},
                {"RTS=1", {Converter::Rts, true}},
                {"DTR=0", {Converter::Dtr, false}},
                {"DTR=1", {Converter::Dtr, true}}};
    for (const auto &row : rows)
        if (t == QLatin1String(row.text)) return row.c;
    return std::nullopt;
}

HalfDuplexBus::HalfDuplexBus(Converter converter, qint64 settleNs)
    : converter_(converter), settleNs_(settleNs), baseBits_(TIOCM_RTS | TIOCM_DTR) {}

void HalfDuplexBus::consoleWrote(qint64 ns, const QByteArray &bytes, qint64 charNs) {
    qint64 start = ns;
    if (!console_.isEmpty() && console_.last().end >= ns) {
        // Queued behind what is still going out: one burst with it.
        start = console_.last().end;
        const qint64 quiet = start + bytes.size() * charNs;
        for (qsizetype i = console_.size() - 1; i >= settled_ && console_[i].quietAt == start; --i)
            console_[i].quietAt = quiet;
    }
    const qint64 quiet = start + bytes.size() * charNs;
    for (char b : bytes) {
        console_.append({start, start + charNs, b, false, quiet});
        start += charNs;
    }
}

void HalfDuplexBus::modemCall(qint64 ns, const QByteArray &op, quint32 bits) {
    // Reports come in the order they were sent, not always in time order (a
    // line change announced ahead of time).
    auto at = std::upper_bound(calls_.begin(), calls_.end(), ns,
                               [](qint64 t, const Call &c) { return t < c.ns; });
    calls_.insert(at, {ns, op, bits});
}

void HalfDuplexBus::rs485(qint64 ns, quint32 flags) {
    auto at = std::upper_bound(modes_.begin(), modes_.end(), ns,
                               [](qint64 t, const Mode &m) { return t < m.ns; });
    modes_.insert(at, {ns, flags});
}

void HalfDuplexBus::reply(qint64 start, const QByteArray &bytes, qint64 charNs) {
    if (!reply_.isEmpty()) start = std::max(start, reply_.last().end);
    for (char b : bytes) {
        reply_.append({start, start + charNs, b, false, 0});
        start += charNs;
    }
}

bool HalfDuplexBus::onWire(qint64 t) const {
    return std::any_of(console_.cbegin(), console_.cend(),
                       [t](const Char &c) { return c.start <= t && t < c.end; });
}

bool HalfDuplexBus::rtsAt(qint64 t) const {
    quint32 flags = 0;
    for (const Mode &m : modes_)
        if (m.ns <= t) flags = m.flags;
    // In RS-485 mode the driver drives RTS around each character it sends.
    if (flags & SER_RS485_ENABLED)
        return (flags & (onWire(t) ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND)) != 0;
    return (bitsAt(t) & TIOCM_RTS) != 0;
}

bool HalfDuplexBus::dtrAt(qint64 t) const {
    return (bitsAt(t) & TIOCM_DTR) != 0;
}

int HalfDuplexBus::bitsAt(qint64 t) const {
    int bits = baseBits_;
    for (const Call &c : calls_) {
        if (c.ns > t) break;
        bits = applied(bits, c);
    }
    return bits;
}

bool HalfDuplexBus::sending(qint64 t) const {
    switch (converter_.line) {
    case Converter::Auto:
        return onWire(t);
    case Converter::Rts:
        return rtsAt(t) == converter_.level;
    case Converter::Dtr:
        return dtrAt(t) == converter_.level;
    }
    return false;
}

// Every moment strictly between a and b at which `sending` may change.
QList<qint64> HalfDuplexBus::changesIn(qint64 a, qint64 b) const {
    QList<qint64> t;
    const auto add = [&](qint64 x) {
        if (a < x && x < b) t.append(x);
    };
    for (const Call &c : calls_)
        add(c.ns);
    for (const Mode &m : modes_)
        add(m.ns);
    for (const Char &c : console_) {
        add(c.start);
        add(c.end);
    }
    std::sort(t.begin(), t.end());
    return t;
}

QList<HalfDuplexBus::Char> HalfDuplexBus::settledConsole(qint64 now) {
    QList<Char> out;
    while (settled_ < console_.size() && console_[settled_].end + settleNs_ <= now) {
        Char &c = console_[settled_++];
        c.heard = sending(c.start);
        for (qint64 t : changesIn(c.start, c.end))
            c.heard = c.heard && sending(t);
        out.append(c);
    }
    forget(now - 2'000'000'000LL);
    return out;
}

QByteArray HalfDuplexBus::settledReply(qint64 now, int *lost, QList<Char> *through) {
    QByteArray sent;
    *lost = 0;
    while (!reply_.isEmpty() && reply_.first().end + settleNs_ <= now) {
        const Char c = reply_.takeFirst();
        bool driven = sending(c.start);
        for (qint64 t : changesIn(c.start, c.end))
            driven = driven || sending(t);
        if (driven)
            ++*lost;
        else
            sent += c.byte;
        if (!driven && through) through->append(c);
    }
    return sent;
}

std::optional<qint64> HalfDuplexBus::nextDue() const {
    std::optional<qint64> due;
    if (settled_ < console_.size()) due = console_[settled_].end + settleNs_;
    if (!reply_.isEmpty()) {
        const qint64 r = reply_.first().end + settleNs_;
        due = due ? std::min(*due, r) : r;
    }
    return due;
}

std::optional<qint64> HalfDuplexBus::stopsSending(qint64 from) const {
    if (!sending(from)) return from;
    for (qint64 t : changesIn(from, std::numeric_limits<qint64>::max()))
        if (!sending(t)) return t;
    return std::nullopt;
}

// What lies before `before` no longer matters, but for the state it left.
void HalfDuplexBus::forget(qint64 before) {
    while (!calls_.isEmpty() && calls_.first().ns < before) {
        baseBits_ = applied(baseBits_, calls_.takeFirst());
    }
    while (modes_.size() > 1 && modes_[1].ns < before)
        modes_.removeFirst();
    while (settled_ > 0 && console_.first().end < before) {
        console_.removeFirst();
        --settled_;
    }
}

} // namespace sim
