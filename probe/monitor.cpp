#include "monitor.h"

#include "controls.h"
#include "reply.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <algorithm>
#include <cmath>

namespace {

const char *const kJsonVerdicts[Heard::kVerdicts] = {"ok",      "err",   "ack",    "nak",
                                                     "timeout", "stray", "garbled"};

double ms_of(qint64 ns) {
    return double(ns) / 1e6;
}

std::optional<int> number(const QByteArray &digits) {
    bool ok = false;
    const int n = digits.toInt(&ok);
    return ok ? std::optional<int>(n) : std::nullopt;
}

// Whose a reply is: its head, as the probe reads it.
std::optional<FrameHead> reply_head(const ReplyBuffer &rb, char marker) {
    return rb.head(marker);
}

} // namespace

Heard Pairing::opened(const WireUnit &request) const {
    Heard h;
    h.startNs = request.startNs;
    h.request = request.bytes;
    const qsizetype f = request.bytes.startsWith(ctl::DC4) ? 3 : 0;
    if (const auto head = request_head(request.bytes)) {
        h.address = number(head->address);
        h.channel = number(head->channel);
    }
    const char code = (f < request.bytes.size() ? request.bytes[f] : '\0');
    h.function = code == ctl::DC1   ? QStringLiteral("pv")
                 : code == ctl::DC2 ? QStringLiteral("param")
                                    : QStringLiteral("write");
    if (code != ctl::DC1 && f + 6 < request.bytes.size() && request.bytes[f + 6] == ctl::US)
        h.parameter = number(request.bytes.mid(f + 7, 2));
    return h;
}

void Pairing::close(Heard h, QList<Heard> &out) {
    pending_.reset();
    lastFailed_ = h.verdict != Heard::Ok && h.verdict != Heard::Ack;
    out.append(std::move(h));
}

void Pairing::idle(qint64 nowNs, QList<Heard> &out) {
    if (pending_ && nowNs - pending_->endNs >= timeoutNs_) close(pendingHeard_, out);
}

void Pairing::flush(QList<Heard> &out) {
    if (pending_) close(pendingHeard_, out);
}

void Pairing::unit(const WireUnit &u, QList<Heard> &out) {
    idle(u.startNs, out);
    if (u.kind == WireUnit::Request) {
        flush(out); // a new request ends the wait for the last
        Heard h = opened(u);
        // The master's own retry: the same frame again soon after it failed.
        h.repeated =
            lastFailed_ && u.bytes == lastRequest_ && u.startNs - lastRequestEnd_ <= 2 * timeoutNs_;
        lastRequest_ = u.bytes;
        lastRequestEnd_ = u.endNs;
        pending_ = u;
        pendingHeard_ = h;
        return;
    }
    Heard h = pending_ ? pendingHeard_ : Heard{};
    if (!pending_) h.startNs = u.startNs;
    h.reply = u.bytes;
    if (pending_) h.turnaroundMs = ms_of(u.startNs - pending_->endNs);
    h.longestGapMs = ms_of(u.longestGapNs);
    switch (u.kind) {
    case WireUnit::Ack:
    case WireUnit::Nak:
        h.verdict = u.kind == WireUnit::Ack ? Heard::Ack : Heard::Nak;
        break;
    case WireUnit::Unframed:
        h.verdict = Heard::Garbled;
        break;
    case WireUnit::Reply: {
        ReplyBuffer rb;
        rb.append(u.bytes);
        const char marker = u.bytes.front();
        const auto check = rb.check(marker);
        if (!check) {
            h.verdict = Heard::Garbled;
            break;
        }
        h.verdict = check->ok ? Heard::Ok : Heard::Err;
        h.sum = check->shown;
        if (check->ok && h.function != QLatin1String("write")) h.value = rb.value();
        const auto head = reply_head(rb, marker);
        const auto asked = request_head(h.request);
        const bool ours = head && asked && head->address == asked->address &&
                          head->channel == asked->channel &&
                          (marker != ctl::DC4 || head->concentrator == asked->concentrator);
        if (head && (!pending_ || (check->ok && !ours))) {
            // Another instrument's, or nobody asked: shown under its own
            // address; a wait under way goes on.
            Heard s = h;
            s.verdict = Heard::Stray;
            s.startNs = u.startNs;
            s.address = number(head->address);
            s.channel = number(head->channel);
            s.request.clear();
            s.function.clear();
            s.parameter.reset();
            s.turnaroundMs.reset();
            out.append(s);
            return;
        }
        break;
    }
    case WireUnit::Request:
        break;
    }
    if (!pending_) {
        // Nothing asked for it: a reply names its sender, bytes that make no frame stay garbled.
        if (h.verdict != Heard::Garbled) h.verdict = Heard::Stray;
        out.append(h);
        return;
    }
    close(h, out);
}

void BusStatistics::heard(const WireUnit &u, qint64 charNs) {
    if (firstNs_ < 0) firstNs_ = u.startNs;
    lastNs_ = std::max(lastNs_, u.endNs);
    busyNs_ += u.bytes.size() * charNs;
    if (u.kind == WireUnit::Unframed) unframedBytes_ += u.bytes.size();
}

void BusStatistics::add(const Heard &h) {
    Row &r = rows_[{h.address.value_or(-1), h.channel.value_or(-1)}];
    ++r.counts[h.verdict];
    if (h.repeated) ++repeated_;
    if (!h.turnaroundMs || (h.verdict != Heard::Ok && h.verdict != Heard::Err &&
                            h.verdict != Heard::Ack && h.verdict != Heard::Nak))
        return;
    const double t = *h.turnaroundMs;
    r.min = r.seen ? std::min(r.min, t) : t;
    r.max = r.seen ? std::max(r.max, t) : t;
    ++r.seen;
    if (r.turnarounds.size() < kKept) r.turnarounds.append(t);
}

double BusStatistics::idleFraction() const {
    const qint64 span = lastNs_ - firstNs_;
    if (firstNs_ < 0 || span <= 0) return 1.0;
    return std::clamp(1.0 - double(busyNs_) / double(span), 0.0, 1.0);
}

namespace {

struct Spread {
    double min, median, p99, max;
};

std::optional<Spread> spread(QList<double> kept, double min, double max) {
    if (kept.isEmpty()) return std::nullopt;
    std::sort(kept.begin(), kept.end());
    const qsizetype n = kept.size();
    const double median = n % 2 ? kept[n / 2] : (kept[n / 2 - 1] + kept[n / 2]) / 2;
    const auto rank = qsizetype(std::ceil(0.99 * double(n)));
    return Spread{min, median, kept[std::clamp<qsizetype>(rank - 1, 0, n - 1)], max};
}

QString ms_text(double v) {
    return QString::number(v, 'f', 2);
}

QJsonValue json_ms(double v) {
    return std::round(v * 1000) / 1000;
}

QString who(int address, int channel) {
    if (address < 0) return QStringLiteral("不明地址");
    return QStringLiteral("地址 %1  通道 %2")
        .arg(address, 3, 10, QLatin1Char('0'))
        .arg(channel, 2, 10, QLatin1Char('0'));
}

} // namespace

QByteArray BusStatistics::human(bool interrupted) const {
    QString s = QStringLiteral("--- 监听统计%1：总线空闲 %2%，主站重发 %3 次，不成帧字节 %4\n")
                    .arg(interrupted ? QStringLiteral("（已中断）") : QString())
                    .arg(QString::number(100 * idleFraction(), 'f', 1))
                    .arg(repeated_)
                    .arg(unframedBytes_);
    for (auto it = rows_.cbegin(); it != rows_.cend(); ++it) {
        const Row &r = it.value();
        int exchanges = 0;
        for (int v :
             {Heard::Ok, Heard::Err, Heard::Ack, Heard::Nak, Heard::Timeout, Heard::Garbled})
            exchanges += r.counts[v];
        s += who(it.key().first, it.key().second) +
             QStringLiteral("：交换 %1，OK %2，ERR %3，ACK %4，NAK %5，超时 %6，错位 %7，乱码 %8")
                 .arg(exchanges)
                 .arg(r.counts[Heard::Ok])
                 .arg(r.counts[Heard::Err])
                 .arg(r.counts[Heard::Ack])
                 .arg(r.counts[Heard::Nak])
                 .arg(r.counts[Heard::Timeout])
                 .arg(r.counts[Heard::Stray])
                 .arg(r.counts[Heard::Garbled]);
        if (const auto sp = spread(r.turnarounds, r.min, r.max))
            s +=
                QStringLiteral("；往返（ms）：最小 %1，中位 %2，p99 %3，最大 %4")
                    .arg(ms_text(sp->min), ms_text(sp->median), ms_text(sp->p99), ms_text(sp->max));
        s += QLatin1Char('\n');
    }
    return s.toUtf8();
}

QByteArray BusStatistics::json(bool interrupted) const {
    QJsonArray rows;
    for (auto it = rows_.cbegin(); it != rows_.cend(); ++it) {
        const Row &r = it.value();
        QJsonObject o{
            {QStringLiteral("address"),
             it.key().first < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(it.key().first)},
            {QStringLiteral("channel"),
             it.key().second < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(it.key().second)},
        };
        int exchanges = 0;
        for (int v = 0; v < Heard::kVerdicts; ++v) {
            o.insert(QLatin1String(kJsonVerdicts[v]), r.counts[v]);
            if (v != Heard::Stray) exchanges += r.counts[v];
        }
        o.insert(QStringLiteral("exchanges"), exchanges);
        QJsonValue t(QJsonValue::Null);
        if (const auto sp = spread(r.turnarounds, r.min, r.max))
            t = QJsonObject{{QStringLiteral("min"), json_ms(sp->min)},
                            {QStringLiteral("median"), json_ms(sp->median)},
                            {QStringLiteral("p99"), json_ms(sp->p99)},
                            {QStringLiteral("max"), json_ms(sp->max)}};
        o.insert(QStringLiteral("turnaround_ms"), t);
        rows.append(o);
    }
    const QJsonObject st{
        {QStringLiteral("interrupted"), interrupted},
        {QStringLiteral("idle_fraction"), std::round(idleFraction() * 10000) / 10000},
        {QStringLiteral("repeated"), repeated_},
        {QStringLiteral("unframed_bytes"), unframedBytes_},
        {QStringLiteral("instruments"), rows},
    };
    return QJsonDocument(QJsonObject{{QStringLiteral("statistics"), st}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

namespace {

QString verdict_text(const Heard &h) {
    switch (h.verdict) {
    case Heard::Ok:
        return QStringLiteral("OK SUM=") + QString::fromLatin1(h.sum);
    case Heard::Err:
        return QStringLiteral("ERR SUM=") + QString::fromLatin1(h.sum);
    case Heard::Ack:
        return QStringLiteral("ACK");
    case Heard::Nak:
        return QStringLiteral("NAK");
    case Heard::Timeout:
        return QStringLiteral("超时");
    case Heard::Stray:
        return QStringLiteral("错位的回复（不属于等待中的请求）");
    case Heard::Garbled:
        return QStringLiteral("乱码（不成帧）[%1]").arg(QString::fromLatin1(h.reply.toHex(' ')));
    }
    return {};
}

QDateTime wall(qint64 ns, qint64 offset) {
    return QDateTime::fromMSecsSinceEpoch((ns + offset) / 1'000'000, QTimeZone::utc());
}

} // namespace

QByteArray heard_line(const Heard &h, qint64 wallOffsetNs) {
    QString line =
        wall(h.startNs, wallOffsetNs).toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz")) +
        QStringLiteral("  ") + who(h.address.value_or(-1), h.channel.value_or(0));
    if (h.parameter) line += QStringLiteral("  参数 %1").arg(*h.parameter, 2, 10, QLatin1Char('0'));
    line += QStringLiteral("  ") + verdict_text(h);
    if (h.value) line += QStringLiteral("  值 ") + QString::fromLatin1(*h.value);
    if (h.turnaroundMs) line += QStringLiteral("  往返 %1 ms").arg(ms_text(*h.turnaroundMs));
    if (h.longestGapMs && h.reply.size() > 1)
        line += QStringLiteral("  回复内最长间隙 %1 ms").arg(ms_text(*h.longestGapMs));
    if (h.repeated) line += QStringLiteral("  （重发）");
    return line.toUtf8() + '\n';
}

QByteArray heard_json(const Heard &h, qint64 wallOffsetNs) {
    const auto opt = [](const std::optional<int> &v) {
        return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
    };
    QJsonObject o{
        {QStringLiteral("time"), wall(h.startNs, wallOffsetNs).toString(Qt::ISODateWithMs)},
        {QStringLiteral("address"), opt(h.address)},
        {QStringLiteral("channel"), opt(h.channel)},
        {QStringLiteral("function"),
         h.function.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(h.function)},
        {QStringLiteral("request"), h.request.isEmpty()
                                        ? QJsonValue(QJsonValue::Null)
                                        : QJsonValue(QString::fromLatin1(h.request.toHex()))},
        {QStringLiteral("reply"), QString::fromLatin1(h.reply.toHex())},
        {QStringLiteral("verdict"), QLatin1String(kJsonVerdicts[h.verdict])},
        {QStringLiteral("value"),
         h.value ? QJsonValue(QString::fromLatin1(*h.value)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("turnaround_ms"),
         h.turnaroundMs ? json_ms(*h.turnaroundMs) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("longest_gap_ms"),
         h.longestGapMs ? json_ms(*h.longestGapMs) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("repeated"), h.repeated},
    };
    if (h.parameter) o.insert(QStringLiteral("parameter"), *h.parameter);
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}
