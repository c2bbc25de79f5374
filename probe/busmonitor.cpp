#include "busmonitor.h"

#include "clock.h"
#include "messages.h"
#include "portsession.h"
#include "settings.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdio>

namespace {

void write_out(const QByteArray &bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

qint64 char_ns_of(const QString &settings) {
    const auto s = parse_settings(settings);
    return s ? char_ns(*s) : 0;
}

qint64 gap_ns(const MonitorPlan &plan, qint64 charNs) {
    return plan.gapMs ? qint64(*plan.gapMs * 1e6) : charNs * 7 / 2;
}

double rounded_ms(qint64 ns) {
    return std::round(double(ns) / 1000) / 1000;
}

} // namespace

BusMonitor::BusMonitor(PortSession &port, PortSession *rx, MonitorPlan plan, QObject *parent)
    : QObject(parent), plan_(std::move(plan)), charNs_(char_ns_of(plan_.settings)),
      pairing_(qint64(plan_.timeoutMs) * 1'000'000) {
    const qint64 gap = gap_ns(plan_, charNs_);
    sides_.push_back({&port, Framer(charNs_, gap), 0, false});
    if (rx) sides_.push_back({rx, Framer(charNs_, gap), 0, true});
    for (Side &s : sides_) {
        connect(s.port, &PortSession::comm, this, [this, &s](int code) {
            if (code == SerialPort::EvReceive) read(s);
        });
        // A device that goes away ends the watch, with what was seen.
        connect(s.port, &PortSession::failed, this, [this](const PortError &e) {
            std::fprintf(stderr, "kestrova-probe: %s\n", qPrintable(port_message(e)));
            end(2, false);
        });
    }
    wallOffsetNs_ = wall_ns() - monotonic_ns();
    tick_.setTimerType(Qt::PreciseTimer);
    tick_.setInterval(int(qBound<qint64>(qint64(1), gap / 2'000'000, qint64(50))));
    connect(&tick_, &QTimer::timeout, this, &BusMonitor::tick);
}

void BusMonitor::start() {
    SerialPort &port = sides_.front().port->port();
    // What the stamps can promise: a USB adapter delivers in batches of its
    // latency timer (16 ms on FTDI) unless the driver took the low-latency mode.
    std::optional<qint64> resolution;
    QString why;
    if (plan_.network) {
        why = QStringLiteral("网络串口，时间为到达本机的时间，不保证分辨率");
    } else if (!port.wire()) {
        resolution = charNs_;
        why = QStringLiteral("伪终端，没有转换器的延迟定时器");
    } else if (port.lowLatency()) {
        resolution = charNs_ + 1'000'000;
        why = QStringLiteral("驱动已设为低延迟模式");
    } else {
        resolution = charNs_ + 16'000'000;
        why = QStringLiteral("驱动不接受低延迟模式，USB 转换器按延迟定时器成批送达");
    }
    const qint64 gap = gap_ns(plan_, charNs_);
    if (plan_.json) {
        QJsonObject o{
            {QStringLiteral("port"), plan_.port},
            {QStringLiteral("rx"),
             plan_.rx.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(plan_.rx)},
            {QStringLiteral("settings"), plan_.settings},
            {QStringLiteral("char_ms"), rounded_ms(charNs_)},
            {QStringLiteral("gap_ms"), rounded_ms(gap)},
            {QStringLiteral("timeout_ms"), plan_.timeoutMs},
            {QStringLiteral("resolution_ms"),
             resolution ? QJsonValue(rounded_ms(*resolution)) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("low_latency"), port.lowLatency()},
        };
        write_out(QJsonDocument(QJsonObject{{QStringLiteral("monitor"), o}})
                      .toJson(QJsonDocument::Compact) +
                  '\n');
    } else {
        QString line = QStringLiteral("--- 监听 %1").arg(plan_.port);
        if (!plan_.rx.isEmpty()) line += QStringLiteral("（回复方向 %1）").arg(plan_.rx);
        line += QStringLiteral("，%1，只收不发；字符时间 %2 ms，帧间隙 %3 ms，超时 %4 ms；")
                    .arg(plan_.settings)
                    .arg(rounded_ms(charNs_))
                    .arg(rounded_ms(gap))
                    .arg(plan_.timeoutMs);
        line += resolution ? QStringLiteral("时间分辨率约 %1 ms（%2）")
                                 .arg(QString::number(rounded_ms(*resolution), 'f', 3), why)
                           : QStringLiteral("时间分辨率：%1").arg(why);
        write_out(line.toUtf8() + '\n');
    }
    tick_.start();
}

void BusMonitor::read(Side &side) {
    const QByteArray batch = side.port->port().input();
    if (batch.isEmpty()) return;
    // The read is the last byte's end; the others came one character time apart before it.
    const qint64 now = monotonic_ns();
    QList<WireUnit> units;
    const qsizetype n = batch.size();
    for (qsizetype i = 0; i < n; ++i) {
        qint64 end = now - qint64(n - 1 - i) * charNs_;
        // A batch read late cannot put a character before the one heard last.
        // Not pushed a whole character on: one late read would make every
        // later character of the frame late as well.
        end = std::max(end, side.lastEnd);
        side.lastEnd = end;
        side.framer.feed(batch[i], end, units);
    }
    take(side, units);
}

// The one place every framed unit passes.
void BusMonitor::take(Side &side, const QList<WireUnit> &units) {
    QList<Heard> heard;
    for (const WireUnit &u : units) {
        const bool request = u.kind == WireUnit::Request ||
                             (u.kind == WireUnit::Unframed && !awaiting_ && !side.replies);
        emit framed({u.startNs + wallOffsetNs_, request ? FramedUnit::Request : FramedUnit::Reply,
                     u.kind != WireUnit::Unframed, u.gapBeforeNs, u.endNs - u.startNs, u.bytes});
        awaiting_ = u.kind == WireUnit::Request;
        stats_.heard(u, charNs_);
        pairing_.unit(u, heard);
    }
    report(heard);
}

void BusMonitor::report(const QList<Heard> &heard) {
    for (const Heard &h : heard) {
        stats_.add(h);
        if (h.verdict == Heard::Timeout) awaiting_ = false;
        write_out(plan_.json ? heard_json(h, wallOffsetNs_) : heard_line(h, wallOffsetNs_));
    }
}

void BusMonitor::tick() {
    qint64 now = monotonic_ns();
    for (Side &s : sides_) {
        QList<WireUnit> units;
        s.framer.idle(now, units);
        take(s, units);
        now = s.framer.heardUpTo(now);
    }
    QList<Heard> heard;
    pairing_.idle(now, heard);
    report(heard);
}

void BusMonitor::stop() {
    end(0, true);
}

void BusMonitor::end(int exitCode, bool interrupted) {
    if (done_) return;
    done_ = true;
    tick_.stop();
    for (Side &s : sides_) {
        QList<WireUnit> units;
        s.framer.flush(units);
        take(s, units);
        s.port->port().setPortOpen(false);
    }
    QList<Heard> heard;
    pairing_.flush(heard);
    report(heard);
    write_out(plan_.json ? stats_.json(interrupted) : stats_.human(interrupted));
    emit finished(exitCode);
}
