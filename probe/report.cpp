#include "report.h"

#include "controls.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>

namespace {

const char *const kJsonVerdicts[] = {"ok", "err", "ack", "nak", "malformed", "timeout"};

QString three(int n) {
    return QStringLiteral("%1").arg(n, 3, 10, QLatin1Char('0'));
}
QString two(int n) {
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

QString ms(double v) {
    return QString::number(v, 'f', 2);
}

QJsonValue json_ms(double v) {
    return std::round(v * 1000) / 1000; // microseconds are all a line can tell
}

// Nearest rank: the smallest value with at least p of all at or below it.
double percentile(const QList<double> &sorted, double p) {
    const auto rank = qsizetype(std::ceil(p * double(sorted.size())));
    return sorted[std::clamp<qsizetype>(rank - 1, 0, sorted.size() - 1)];
}

double median(const QList<double> &sorted) {
    const qsizetype n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

} // namespace

Verdict verdict_of(const CommResult &r) {
    if (r.verdict) return r.verdict->startsWith("OK") ? Verdict::Ok : Verdict::Err;
    if (r.nak) return Verdict::Nak;
    if (r.ack) return Verdict::Ack;
    return Verdict::Malformed;
}

std::optional<QByteArray> reply_value(const QByteArray &recbuf) {
    using namespace ctl;
    const qsizetype stx = recbuf.indexOf(STX);
    if (stx < 0) return std::nullopt;
    const qsizetype etb = recbuf.indexOf(ETB, stx);
    const qsizetype dataEnd = etb - 5;
    if (etb < 0 || dataEnd < stx + 6) return std::nullopt;
    QByteArray data = recbuf.mid(stx + 6, dataEnd - (stx + 6)); // after address and channel
    const qsizetype us = data.lastIndexOf(US);
    return us >= 0 ? data.mid(us + 1) : data;
}

QByteArray human_line(const Exchange &e) {
    QString line = e.time.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz")) +
                   QStringLiteral("  地址 %1  通道 %2").arg(three(e.address), two(e.channel));
    if (e.parameter) line += QStringLiteral("  参数 %1").arg(two(*e.parameter));
    line += QStringLiteral("  ");
    switch (e.verdict) {
    case Verdict::Ok:
    case Verdict::Err:
        line += QString::fromLatin1(e.verdictLine);
        break;
    case Verdict::Ack:
        line += QStringLiteral("ACK");
        break;
    case Verdict::Nak:
        line += QStringLiteral("NAK");
        break;
    case Verdict::Malformed:
        line += QStringLiteral("回复格式不符，无法校验");
        break;
    case Verdict::Timeout:
        line += QStringLiteral("超时");
        break;
    }
    if (e.value) line += QStringLiteral("  值 ") + QString::fromLatin1(*e.value);
    if (e.latencyMs) line += QStringLiteral("  %1 ms").arg(ms(*e.latencyMs));
    return line.toUtf8() + '\n';
}

QByteArray json_line(const Exchange &e) {
    QJsonObject o{
        {QStringLiteral("time"), e.time.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("address"), e.address},
        {QStringLiteral("channel"), e.channel},
        {QStringLiteral("function"), e.function},
        {QStringLiteral("request"), QString::fromLatin1(e.request.toHex())},
        {QStringLiteral("reply"), QString::fromLatin1(e.reply.toHex())},
        {QStringLiteral("verdict"), QLatin1String(kJsonVerdicts[int(e.verdict)])},
        // Reply bytes outside ASCII stand for themselves (Latin-1) in the value text.
        {QStringLiteral("value"),
         e.value ? QJsonValue(QString::fromLatin1(*e.value)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("latency_ms"),
         e.latencyMs ? json_ms(*e.latencyMs) : QJsonValue(QJsonValue::Null)},
    };
    if (e.parameter) o.insert(QStringLiteral("parameter"), *e.parameter);
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

void Statistics::add(const Exchange &e) {
    ++sent_;
    ++counts_[int(e.verdict)];
    if (e.latencyMs) latencies_.append(*e.latencyMs);
}

bool Statistics::allGood(bool scan) const {
    const int judged = scan ? answered() : sent_;
    return judged > 0 && count(Verdict::Ok) + count(Verdict::Ack) == judged;
}

QByteArray Statistics::human(bool interrupted) const {
    const double loss = sent_ ? 100.0 * count(Verdict::Timeout) / sent_ : 0.0;
    QString s = QStringLiteral("--- 统计%1：发送 %2，应答 %3，OK %4，ERR %5，ACK %6，NAK %7，")
                    .arg(interrupted ? QStringLiteral("（已中断）") : QString())
                    .arg(sent_)
                    .arg(answered())
                    .arg(count(Verdict::Ok))
                    .arg(count(Verdict::Err))
                    .arg(count(Verdict::Ack))
                    .arg(count(Verdict::Nak));
    if (count(Verdict::Malformed))
        s += QStringLiteral("格式不符 %1，").arg(count(Verdict::Malformed));
    s += QStringLiteral("超时 %1，丢失 %2%\n")
             .arg(count(Verdict::Timeout))
             .arg(QString::number(loss, 'f', 1));
    if (latencies_.isEmpty()) {
        s += QStringLiteral("延迟：无应答\n");
    } else {
        QList<double> sorted = latencies_;
        std::sort(sorted.begin(), sorted.end());
        s += QStringLiteral("延迟（ms）：最小 %1，中位 %2，p99 %3，最大 %4\n")
                 .arg(ms(sorted.first()), ms(median(sorted)), ms(percentile(sorted, 0.99)),
                      ms(sorted.last()));
    }
    return s.toUtf8();
}

QByteArray Statistics::json(bool interrupted) const {
    QJsonObject st{
        {QStringLiteral("sent"), sent_},
        {QStringLiteral("answered"), answered()},
        {QStringLiteral("interrupted"), interrupted},
        {QStringLiteral("loss_percent"),
         sent_ ? std::round(1000.0 * count(Verdict::Timeout) / sent_) / 10 : 0.0},
    };
    for (int v = 0; v < 6; ++v)
        st.insert(QLatin1String(kJsonVerdicts[v]), counts_[v]);
    QJsonValue latency(QJsonValue::Null);
    if (!latencies_.isEmpty()) {
        QList<double> sorted = latencies_;
        std::sort(sorted.begin(), sorted.end());
        latency = QJsonObject{{QStringLiteral("min"), json_ms(sorted.first())},
                              {QStringLiteral("median"), json_ms(median(sorted))},
                              {QStringLiteral("p99"), json_ms(percentile(sorted, 0.99))},
                              {QStringLiteral("max"), json_ms(sorted.last())}};
    }
    st.insert(QStringLiteral("latency_ms"), latency);
    return QJsonDocument(QJsonObject{{QStringLiteral("statistics"), st}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}
