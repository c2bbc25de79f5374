#include "records.h"

#include <QStringList>

QString verdict_text(Verdict v, const QByteArray &sum) {
    switch (v) {
    case Verdict::Ok:
        return QStringLiteral("OK SUM=") + QString::fromLatin1(sum);
    case Verdict::Err:
        return QStringLiteral("ERR SUM=") + QString::fromLatin1(sum);
    case Verdict::Ack:
        return QStringLiteral("ACK");
    case Verdict::Nak:
        return QStringLiteral("NAK");
    case Verdict::Malformed:
        return QStringLiteral("回复格式不符，无法校验");
    case Verdict::Timeout:
        return QStringLiteral("超时");
    case Verdict::Stray:
        return QStringLiteral("错位的回复（来自这个地址，不计入任何交换）");
    }
    return {};
}

namespace {

QString field(const QString &text) {
    static const QString special = QStringLiteral(",\"\r\n");
    for (QChar c : text)
        if (special.contains(c))
            return QLatin1Char('"') +
                   QString(text).replace(QLatin1Char('"'), QLatin1String("\"\"")) +
                   QLatin1Char('"');
    return text;
}

QByteArray row(const QStringList &fields) {
    QStringList quoted;
    for (const QString &f : fields)
        quoted << field(f);
    return quoted.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

} // namespace

QByteArray csv_header() {
    return row({QStringLiteral("时间"), QStringLiteral("通讯口"), QStringLiteral("波特率"),
                QStringLiteral("发送信号"), QStringLiteral("仪表型号"), QStringLiteral("功能"),
                QStringLiteral("仪表地址"), QStringLiteral("仪表通道"), QStringLiteral("结果"),
                QStringLiteral("值"), QStringLiteral("延迟(ms)"), QStringLiteral("请求(hex)"),
                QStringLiteral("回复(hex)")});
}

QByteArray csv_row(const Exchange &e) {
    const Selection &s = e.sel;
    return row({e.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")), s.port,
                s.settings, s.signal, s.model, s.function, s.address, s.channel,
                verdict_text(e.verdict, e.sum), e.value ? QString::fromLatin1(*e.value) : QString(),
                e.latencyMs ? QString::number(*e.latencyMs, 'f', 2) : QString(),
                QString::fromLatin1(e.request.toHex(' ')).toUpper(),
                QString::fromLatin1(e.reply.toHex(' ')).toUpper()});
}

bool CsvFile::open(const QString &path) {
    file_.close();
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error_ = file_.errorString();
        return false;
    }
    return write("\xEF\xBB\xBF" + csv_header());
}

bool CsvFile::write(const QByteArray &row) {
    if (file_.write(row) == row.size() && file_.flush()) return true;
    error_ = file_.errorString();
    file_.close();
    return false;
}
