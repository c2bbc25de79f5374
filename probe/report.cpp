#include "report.h"

#include "controls.h"
#include "records.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>

namespace {

const char *const kJsonVerdicts[kVerdictCount] = {"ok",        "err",     "ack",  "nak",
                                                  "malformed", "timeout", "stray"};

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

} // namespace

static QString verdict_text(const Exchange &e) {
    return verdict_text(e.verdict, e.sum);
}

QByteArray human_line(const Exchange &e) {
    QString line = e.time.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz")) +
                   QStringLiteral("  地址 %1  通道 %2").arg(three(e.address), two(e.channel));
    if (e.parameter) line += QStringLiteral("  参数 %1").arg(two(*e.parameter));
    line += QStringLiteral("  ") + verdict_text(e);
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
        {QStringLiteral("request"), e.verdict == Verdict::Stray
                                        ? QJsonValue(QJsonValue::Null)
                                        : QJsonValue(QString::fromLatin1(e.request.toHex()))},
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

bool Statistics::allGood(bool scan) const {
    const int judged = scan ? answered() : sent();
    return judged > 0 && count(Verdict::Ok) + count(Verdict::Ack) == judged;
}

QByteArray Statistics::human(bool interrupted) const {
    QString s = QStringLiteral("--- 统计%1：发送 %2，应答 %3，OK %4，ERR %5，ACK %6，NAK %7，")
                    .arg(interrupted ? QStringLiteral("（已中断）") : QString())
                    .arg(sent())
                    .arg(answered())
                    .arg(count(Verdict::Ok))
                    .arg(count(Verdict::Err))
                    .arg(count(Verdict::Ack))
                    .arg(count(Verdict::Nak));
    if (count(Verdict::Malformed))
        s += QStringLiteral("格式不符 %1，").arg(count(Verdict::Malformed));
    if (count(Verdict::Stray)) s += QStringLiteral("错位回复 %1，").arg(count(Verdict::Stray));
    s += QStringLiteral("超时 %1，丢失 %2%\n")
             .arg(count(Verdict::Timeout))
             .arg(QString::number(tally_.lossPercent(), 'f', 1));
    if (const auto l = tally_.latency())
        s += QStringLiteral("延迟（ms）：最小 %1，中位 %2，p99 %3，最大 %4\n")
                 .arg(ms(l->min), ms(l->median), ms(l->p99), ms(l->max));
    else
        s += QStringLiteral("延迟：无应答\n");
    return s.toUtf8();
}

QByteArray Statistics::json(bool interrupted) const {
    QJsonObject st{
        {QStringLiteral("sent"), sent()},
        {QStringLiteral("answered"), answered()},
        {QStringLiteral("interrupted"), interrupted},
        {QStringLiteral("loss_percent"), std::round(10 * tally_.lossPercent()) / 10},
    };
    for (int v = 0; v < kVerdictCount; ++v)
        st.insert(QLatin1String(kJsonVerdicts[v]), count(Verdict(v)));
    QJsonValue latency(QJsonValue::Null);
    if (const auto l = tally_.latency())
        latency = QJsonObject{{QStringLiteral("min"), json_ms(l->min)},
                              {QStringLiteral("median"), json_ms(l->median)},
                              {QStringLiteral("p99"), json_ms(l->p99)},
                              {QStringLiteral("max"), json_ms(l->max)}};
    st.insert(QStringLiteral("latency_ms"), latency);
    return QJsonDocument(QJsonObject{{QStringLiteral("statistics"), st}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

Came came_of(const Exchange &e) {
    switch (e.verdict) {
    case Verdict::Ok:
    case Verdict::Ack:
    case Verdict::Nak:
        return Came::Good;
    case Verdict::Err:
        return Came::BadSum;
    case Verdict::Stray:
        return Came::Stray;
    default:
        return e.reply.isEmpty() ? Came::Nothing : Came::NoFrame;
    }
}

namespace {

const char *const kJsonCame[] = {"nothing", "no_frame", "bad_sum", "stray", "good"};

QString came_text(Discovery d, const Trial &t) {
    if (!t.held)
        return d == Discovery::Settings ? QStringLiteral("设备不接受这种设置")
                                        : QStringLiteral("驱动没有这种方向控制");
    switch (t.came) {
    case Came::Nothing:
        return QStringLiteral("没有回复");
    case Came::NoFrame:
        return QStringLiteral("收到字符，但不成帧（速率或格式不对，或是请求的回声）");
    case Came::BadSum:
        return QStringLiteral("收到帧，但校验和不符");
    case Came::Stray:
        return QStringLiteral("收到其他地址的有效回复（地址 %1 通道 %2）")
            .arg(three(t.telling.address))
            .arg(two(t.telling.channel));
    case Came::Good:
        break;
    }
    return QStringLiteral("回复有效");
}

QString address_list(const QList<int> &addresses) {
    QStringList a;
    for (int n : addresses)
        a << three(n);
    return a.join(QLatin1Char(' '));
}

} // namespace

QByteArray trial_line(Discovery d, const Trial &t, bool json) {
    const QString key =
        d == Discovery::Settings ? QStringLiteral("settings") : QStringLiteral("direction");
    if (json) {
        QJsonArray good;
        for (int a : t.good)
            good.append(a);
        const Exchange &e = t.telling;
        QJsonObject o{
            {key, t.tried},
            {QStringLiteral("came"),
             t.held ? QLatin1String(kJsonCame[int(t.came)]) : QLatin1String("not_held")},
            {QStringLiteral("address"), e.address},
            {QStringLiteral("channel"), e.channel},
            {QStringLiteral("reply"), QString::fromLatin1(e.reply.toHex())},
            {QStringLiteral("verdict"), QLatin1String(kJsonVerdicts[int(e.verdict)])},
            {QStringLiteral("good"), good},
        };
        return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    }
    QString line = t.tried.leftJustified(12) + came_text(d, t);
    if (t.held && t.came == Came::Good) {
        line += QStringLiteral("  地址 ") + address_list(t.good) + QStringLiteral("  ") +
                verdict_text(t.telling);
        if (t.telling.value)
            line += QStringLiteral("  值 ") + QString::fromLatin1(*t.telling.value);
    }
    return line.toUtf8() + '\n';
}

QByteArray discovery_result(Discovery d, const QList<Trial> &trials, bool json) {
    QStringList found;
    for (const Trial &t : trials)
        if (t.held && t.came == Came::Good) found << t.tried;
    const bool settings = d == Discovery::Settings;
    if (json) {
        QJsonObject o{{QStringLiteral("found"), !found.isEmpty()},
                      {QStringLiteral("tried"), int(trials.size())}};
        if (settings)
            o.insert(QStringLiteral("settings"),
                     found.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(found.first()));
        else
            o.insert(QStringLiteral("directions"), QJsonArray::fromStringList(found));
        return QJsonDocument(QJsonObject{{QStringLiteral("result"), o}})
                   .toJson(QJsonDocument::Compact) +
               '\n';
    }
    const QString what = settings ? QStringLiteral("线路设置") : QStringLiteral("方向控制");
    if (found.isEmpty())
        return QStringLiteral("--- 试过的 %1 种%2都没有有效回复\n")
            .arg(trials.size())
            .arg(what)
            .toUtf8();
    return QStringLiteral("--- 有效回复的%1：%2（试过 %3 种）\n")
        .arg(what, found.join(QStringLiteral("、")))
        .arg(trials.size())
        .toUtf8();
}
