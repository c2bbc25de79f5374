// The passive monitor: its framing and pairing over byte streams written out
// by hand, and the program listening on the simulator's tap while the probe
// plays the bus's master.
#include "capture.h"
#include "monitor.h"
#include "ptyutil.h"
#include "simprocess.h"
#include "tshark.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <fcntl.h>

namespace {

constexpr qint64 kChar = 1'145'834; // 9600,n,8,2
constexpr qint64 kGap = 4'010'417;  // 3.5 characters

// Hex bytes; "|" is 10 ms of quiet line, "~" 300 ms (past the time-out).
// Each byte is fed one at a time, as the smallest batches a port gives.
QList<Heard> run(const QByteArray &text, QList<WireUnit> *unitsOut = nullptr) {
    Framer framer(kChar, kGap);
    Pairing pairing(250'000'000);
    QList<WireUnit> units;
    QList<Heard> heard;
    qint64 t = 1'000'000'000;
    const auto pass = [&] {
        for (const WireUnit &u : units)
            pairing.unit(u, heard);
        if (unitsOut) *unitsOut += units;
        units.clear();
    };
    for (const QByteArray &word : text.split(' ')) {
        if (word == "|" || word == "~") {
            t += word == "|" ? 10'000'000 : 300'000'000;
            framer.idle(t, units);
            pass();
            pairing.idle(framer.heardUpTo(t), heard);
            continue;
        }
        t += kChar;
        framer.feed(char(word.toUInt(nullptr, 16)), t, units);
        pass();
    }
    framer.flush(units);
    pass();
    pairing.flush(heard);
    return heard;
}

QString kinds(const QList<WireUnit> &units) {
    static const char *const names[] = {"Q", "R", "ACK", "NAK", "U"};
    QStringList out;
    for (const WireUnit &u : units)
        out << QStringLiteral("%1:%2").arg(QLatin1String(names[u.kind]),
                                           QString::fromLatin1(u.bytes.toHex()));
    return out.join(' ');
}

// "1/1 ok 23.4": address, channel, verdict and value, as a reader checks them.
QString summary(const Heard &h) {
    static const char *const names[] = {"ok", "err", "ack", "nak", "timeout", "stray", "garbled"};
    QString s = h.address ? QStringLiteral("%1/%2 ").arg(*h.address).arg(h.channel.value_or(0))
                          : QStringLiteral("-/- ");
    s += QLatin1String(names[h.verdict]);
    if (h.value) s += QLatin1Char(' ') + QString::fromLatin1(*h.value);
    if (h.repeated) s += QStringLiteral(" again");
    return s;
}

QString json_summary(const QJsonObject &o) {
    QString s = QStringLiteral("%1/%2 %3")
                    .arg(o.value("address").toInt())
                    .arg(o.value("channel").toInt())
                    .arg(o.value("verdict").toString());
    if (o.value("value").isString()) s += QLatin1Char(' ') + o.value("value").toString();
    return s;
}

QList<QJsonObject> json_lines(const QByteArray &out, const char *key = nullptr) {
    QList<QJsonObject> lines;
    for (const QByteArray &line : out.trimmed().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (key ? o.contains(key) : o.contains("verdict")) lines << o;
    }
    return lines;
}

// PM-01, address 001 channel 01: DC1 001 01 ETX ETX, and the reply with PV 23.4 (sum 443).
const char *const kAsk1 = "11 30 30 31 30 31 03 03";
const char *const kReply1 = "02 30 30 31 30 31 32 33 2e 34 30 30 34 34 33 17";

// What tshark and the shipped dissector make of a capture: each request's
// exchange in order, and what came unasked (sorted: the monitor reports a
// stray before the wait it interrupts ends). "1/1 ok 23.4": the value only
// where the sum holds.
struct Dissected {
    QStringList exchanges;
    QStringList unpaired;
    QList<double> turnarounds; // of the exchanges, -1 for none
    QString error;
};

Dissected dissect(const QString &capture) {
    Dissected d;
    const auto rows =
        tshark_rows(capture, {"kestrova.kind", "kestrova.address", "kestrova.channel",
                              "kestrova.verdict", "kestrova.value", "kestrova.turnaround",
                              "kestrova.request_in", "kestrova.function"});
    for (const QStringList &r : rows) {
        if (r.size() != 8) {
            d.exchanges << r.join(' '); // tshark's complaint, to fail the comparison
            continue;
        }
        QString summary = QStringLiteral("%1/%2 %3").arg(r[1].toInt()).arg(r[2].toInt()).arg(r[3]);
        // A write's value is the one it carried, not an answer.
        if (!r[4].isEmpty() && r[3] == "ok" && r[7] != "write") summary += ' ' + r[4];
        if (r[0] == "request") {
            d.exchanges << summary;
            d.turnarounds << (r[5].isEmpty() ? -1 : r[5].toDouble());
        } else if (r[6].isEmpty()) {
            d.unpaired << summary;
        }
    }
    std::sort(d.unpaired.begin(), d.unpaired.end());
    return d;
}

} // namespace

class TestMonitor : public QObject {
    Q_OBJECT
private slots:
    void framing_data();
    void framing();
    void pairing_data();
    void pairing();
    void listensOnly_data();
    void listensOnly();
    void tapOfTheSimulator_data();
    void tapOfTheSimulator();
    void deviceGone();
};

void TestMonitor::framing_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QString>("units");
    const QByteArray ask(kAsk1);
    const QString q = QStringLiteral("Q:1130303130310303");
    QTest::newRow("request, extra ETX") << ask << q;
    QTest::newRow("request and reply back to back")
        << ask + ' ' + kReply1 << q + " R:02303031303132332e34303034343317";
    QTest::newRow("concentrator request and reply")
        << QByteArray("14 30 31 11 30 30 31 30 31 03 03 | 14 30 31 02 30 30 31 30 31 32 33 2e 34 "
                      "30 30 35 36 30 17")
        << "Q:1430311130303130310303 R:14303102303031303132332e3430303536301"
           "7";
    QTest::newRow("lone ACK and NAK") << QByteArray("06 | 15") << "ACK:06 NAK:15";
    QTest::newRow("noise, a gap, a request") << "ff fe | " + ask << "U:fffe " + q;
    QTest::newRow("noise straight into a request") << "41 42 " + ask << "U:4142 " + q;
    QTest::newRow("request cut by a gap")
        << QByteArray("11 30 30 | 31 30 31 03 03") << "U:113030 U:3130310303";
    QTest::newRow("one ETX, then quiet")
        << QByteArray("11 30 30 31 30 31 03 | 06") << "Q:11303031303103 ACK:06";
    QTest::newRow("reply cut by another talker") << "02 30 30 31 " + ask << "U:02303031 " + q;
    QByteArray flood;
    for (int i = 0; i < 600; ++i)
        flood += "41 ";
    QTest::newRow("a run longer than any frame")
        << flood.trimmed()
        << QString::fromLatin1("U:" + QByteArray(512, 'A').toHex() +
                               " U:" + QByteArray(88, 'A').toHex());
}

void TestMonitor::framing() {
    QFETCH(QByteArray, stream);
    QFETCH(QString, units);
    QList<WireUnit> got;
    run(stream, &got);
    QCOMPARE(kinds(got), units);
}

void TestMonitor::pairing_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QString>("heard");
    QTest::addColumn<double>("turnaround"); // of the first, -1 for none
    const QByteArray ask(kAsk1);
    QTest::newRow("ok") << ask + " | " + kReply1 << "1/1 ok 23.4" << 10.0;
    QTest::newRow("bad sum") << ask + " | 02 30 30 31 30 31 32 33 2e 34 30 30 34 34 34 17"
                             << "1/1 err" << 10.0;
    QTest::newRow("silence") << ask + " ~"
                             << "1/1 timeout" << -1.0;
    QTest::newRow("another instrument's reply")
        << ask + " | 02 30 30 32 30 31 32 33 2e 34 30 30 34 34 34 17 ~"
        << "2/1 stray 23.4; 1/1 timeout" << -1.0;
    QTest::newRow("garbled") << ask + " | 02 30 30 31 ff 30 |"
                             << "1/1 garbled" << 10.0;
    QTest::newRow("write acknowledged")
        << QByteArray(
               "13 30 30 31 30 31 1f 30 31 1f 30 30 30 30 2e 30 1f 30 30 37 33 37 03 03 | 06")
        << "1/1 ack" << 10.0;
    QTest::newRow("the master's retry")
        << ask + " ~ " + ask + " | " + kReply1 << "1/1 timeout; 1/1 ok 23.4 again" << -1.0;
    QTest::newRow("a reply nobody asked for") << QByteArray(kReply1) << "1/1 stray 23.4" << -1.0;
    QTest::newRow("bytes alone") << QByteArray("ff fe") << "-/- garbled" << -1.0;
    // DC4 01 before each: the concentrator's; its sum counts the prefix.
    const QByteArray viaConcentrator("14 30 31 11 30 30 31 30 31 03 03 | "
                                     "14 30 31 02 30 30 31 30 31 32 33 2e 34 30 30 35 36 30 17");
    QTest::newRow("through the concentrator") << viaConcentrator << "1/1 ok 23.4" << 10.0;
    QTest::newRow("parameter refused")
        << QByteArray("12 30 30 31 30 31 1f 30 37 03 03 | 15") << "1/1 nak" << 10.0;
    QTest::newRow("reply too short to judge") << ask + " | 02 30 30 31 17"
                                              << "1/1 garbled" << 10.0;
    QTest::newRow("sum field with letters")
        << ask + " | 02 30 30 31 30 31 32 33 2e 34 30 30 34 41 33 17"
        << "1/1 err" << 10.0;

    // Any mix of pieces, whole or cut, judged alike by both.
    const QList<QByteArray> pieces{ask,
                                   kReply1,
                                   "02 30 30 31 30 31 32 33 2e 34 30 30 34 34 34 17",
                                   "02 30 30 32 30 31 32 33 2e 34 30 30 34 34 34 17",
                                   viaConcentrator,
                                   "06",
                                   "15",
                                   "14 30 31 06",
                                   "ff fe 06 00",
                                   "02 30 30 31",
                                   "11 30 30",
                                   "13 30 30 31 30 31 1f 30 31 1f 31 1f 30 30 35 35 35 03 03",
                                   "|",
                                   "|",
                                   "~"};
    for (quint32 seed : {1u, 2u, 3u}) {
        QRandomGenerator random(seed);
        QList<QByteArray> words;
        for (int i = 0; i < 80; ++i)
            words << pieces[random.bounded(int(pieces.size()))];
        QTest::addRow("random mix %u", seed) << words.join(' ') << QString() << -2.0;
    }
}

void TestMonitor::pairing() {
    QFETCH(QByteArray, stream);
    QFETCH(QString, heard);
    QFETCH(double, turnaround);
    QList<WireUnit> units;
    const QList<Heard> got = run(stream, &units);
    QStringList s;
    for (const Heard &h : got)
        s << summary(h);
    if (!heard.isEmpty()) QCOMPARE(s.join(QStringLiteral("; ")), heard);
    if (turnaround != -2) QCOMPARE(got.first().turnaroundMs.value_or(-1.0), turnaround);

    // The same units as the monitor captures them, judged again by the
    // shipped dissector under tshark: the same exchanges and verdicts.
    QTemporaryDir dir;
    const QString path = dir.filePath("units.pcap");
    CaptureFile capture;
    QVERIFY(capture.open(path));
    for (const WireUnit &u : units) {
        CaptureRecord r;
        r.wallNs = u.startNs;
        r.direction = u.kind == WireUnit::Request    ? CaptureRecord::Request
                      : u.kind == WireUnit::Unframed ? CaptureRecord::Unframed
                                                     : CaptureRecord::Reply;
        r.gapUs = u.gapBeforeNs < 0 ? -1 : u.gapBeforeNs / 1000;
        r.spanUs = (u.endNs - u.startNs) / 1000;
        r.timeoutMs = 250;
        r.bytes = u.bytes;
        QVERIFY(capture.write(r));
    }
    capture.close();
    Dissected expected;
    for (const Heard &h : got) {
        QString b = QStringLiteral("%1/%2 %3")
                        .arg(h.address.value_or(0))
                        .arg(h.channel.value_or(0))
                        .arg(summary(h).section(' ', 1, 1));
        if (h.verdict == Heard::Ok && h.value) b += ' ' + QString::fromLatin1(*h.value);
        (h.request.isEmpty() ? expected.unpaired : expected.exchanges) << b;
        if (!h.request.isEmpty()) expected.turnarounds << h.turnaroundMs.value_or(-1);
    }
    std::sort(expected.unpaired.begin(), expected.unpaired.end());
    const Dissected d = dissect(path);
    QCOMPARE(d.exchanges, expected.exchanges);
    QCOMPARE(d.unpaired, expected.unpaired);
    QCOMPARE(d.turnarounds.size(), expected.turnarounds.size());
    for (qsizetype i = 0; i < d.turnarounds.size(); ++i) // shown to the microsecond
        QVERIFY2(qAbs(d.turnarounds[i] - expected.turnarounds[i]) < 0.002,
                 qPrintable(expected.exchanges[i]));
}

namespace {

// The monitor on `device`, until its first line says it listens.
struct MonitorProcess {
    QProcess p;
    MonitorProcess(const QStringList &args, const QProcessEnvironment &env) {
        p.setProcessEnvironment(env);
        p.start(qEnvironmentVariable("KC_PROBE"), decoy_com_args() + args);
        p.waitForReadyRead(10000);
    }
    QByteArray stop() {
        p.terminate();
        if (!p.waitForFinished(10000)) p.kill();
        return p.readAllStandardOutput();
    }
};

} // namespace

void TestMonitor::listensOnly_data() {
    QTest::addColumn<QString>("direction");
    QTest::addColumn<QString>("level"); // the first modem-line call, TIOCM_RTS 4, TIOCM_DTR 2
    QTest::newRow("RTS=0") << "RTS=0"
                           << "bis 4";
    QTest::newRow("RTS=1") << "RTS=1"
                           << "bic 4";
    QTest::newRow("DTR=0") << "DTR=0"
                           << "bis 2";
    QTest::newRow("DTR=1") << "DTR=1"
                           << "bic 2";
    QTest::newRow("MODEM") << "MODEM"
                           << "bis 2";
    QTest::newRow("RS485") << "RS485"
                           << "bic 4";
}

void TestMonitor::listensOnly() {
    QFETCH(QString, direction);
    QFETCH(QString, level);
    Pty pty;
    QTemporaryDir dir;
    const QString logPath = dir.filePath("line.log");
    QProcessEnvironment env = line_shim_environment();
    env.insert("KC_LINE_LOG", logPath);
    env.insert("KC_FAKE_RS485", "accept");
    MonitorProcess m({"--monitor", pty.slavePath(), "--direction", direction, "--json"}, env);
    pty.write(QByteArray::fromHex("11303031303103030230303130313233"
                                  "2e34303034343317"));
    QTest::qWait(300);
    const QList<QJsonObject> heard = json_lines(m.stop());
    QCOMPARE(heard.size(), 1);
    QCOMPARE(json_summary(heard.first()), QStringLiteral("1/1 ok 23.4"));
    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QStringList calls;
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() < 3) continue;
        QVERIFY2(f[0] != "write", line.constData());
        // The driver's own direction switching is never turned on.
        if (f[0] == "rs485") QCOMPARE(f[2].toUInt() & 1, 0u);
        if (f[0] == "bis" || f[0] == "bic" || f[0] == "set") calls << f[0] + ' ' + f[2];
    }
    QVERIFY(!calls.isEmpty());
    QCOMPARE(calls.first(), level);
    QVERIFY(pty.read(1, 100).isEmpty()); // nothing came back on the line
}

void TestMonitor::tapOfTheSimulator_data() {
    QTest::addColumn<bool>("halfDuplex");
    QTest::newRow("full duplex line") << false;
    QTest::newRow("half-duplex bus, release held back") << true;
}

void TestMonitor::tapOfTheSimulator() {
    QFETCH(bool, halfDuplex);
    QTemporaryDir dir;
    const QString tap = dir.filePath("tap"), socket = dir.filePath("bus.sock");
    QStringList simArgs{"--tap", tap, "--delay", "12"};
    QProcessEnvironment probeEnv = QProcessEnvironment::systemEnvironment();
    if (halfDuplex) {
        simArgs << "--half-duplex"
                << "--report-socket" << socket;
        probeEnv = line_shim_environment(socket);
        probeEnv.insert("KC_BUS_HOLD_MS", "20"); // the converter still sends as the reply starts
    } else {
        simArgs << "--bad-sum"
                << "4";
    }
    SimProcess sim(simArgs);
    QVERIFY(!sim.device().isEmpty());
    // A gap longer than the default: this machine's scheduling, not the wire,
    // may hold a write of the tap back by a few milliseconds.
    const QString capture = dir.filePath("bus.pcap");
    MonitorProcess m({"--monitor", tap, "--json", "--gap", "20", "--capture", capture},
                     QProcessEnvironment::systemEnvironment());
    QProcess probe;
    probe.setProcessEnvironment(probeEnv);
    probe.start(qEnvironmentVariable("KC_PROBE"),
                decoy_com_args() +
                    QStringList{sim.device(), "--address", "1,2,3,9", "--count", "2", "--json"});
    QVERIFY(probe.waitForFinished(20000));
    QTest::qWait(300);
    const QList<QJsonObject> asked = json_lines(probe.readAllStandardOutput());
    // Address, channel, verdict, and the value where the sum holds.
    const auto brief = [](const QJsonObject &o) {
        QString s = json_summary(o);
        return o.value("verdict") == "ok" ? s : s.section(' ', 0, 1);
    };
    QList<QJsonObject> heard;
    QStringList unpaired;
    for (const QJsonObject &o : json_lines(m.stop()))
        if (o.value("request").isString())
            heard << o;
        else
            unpaired << brief(o);

    // Wireshark with the shipped dissector reads the same exchanges from the
    // capture: each request with its verdict, value and turnaround, and what
    // came unasked.
    const Dissected d = dissect(capture);
    QStringList monitored;
    for (const QJsonObject &h : heard)
        monitored << brief(h);
    QCOMPARE(d.exchanges, monitored);
    std::sort(unpaired.begin(), unpaired.end());
    QCOMPARE(d.unpaired, unpaired);
    for (qsizetype i = 0; i < heard.size(); ++i)
        QVERIFY2(qAbs(d.turnarounds[i] - heard[i].value("turnaround_ms").toDouble(-1)) < 0.01,
                 qPrintable(monitored[i]));
    QCOMPARE(heard.size(), 8);
    QCOMPARE(asked.size(), 8);
    int errs = 0;
    QList<double> turnarounds;
    for (qsizetype i = 0; i < heard.size(); ++i) {
        const QJsonObject &h = heard[i];
        QCOMPARE(h.value("request"), asked[i].value("request"));
        const double t = h.value("turnaround_ms").toDouble(-1);
        if (h.value("address").toInt() == 9) {
            QCOMPARE(h.value("verdict").toString(), QStringLiteral("timeout"));
        } else if (halfDuplex) {
            // Cut replies make no frame; a whole one came when the bus was free.
            QVERIFY2(h.value("verdict") == "garbled" || t >= 20 - kChar / 1e6,
                     QJsonDocument(h).toJson().constData());
        } else {
            QCOMPARE(json_summary(h), json_summary(asked[i]));
#ifdef KC_SLOW_BUILD
            // A sanitized monitor wakes late now and then; each late wake
            // shortens one turnaround, so the typical one is checked.
            const double room = 12;
#else
            const double room = kChar / 1e6;
#endif
            QVERIFY2(qAbs(t - 12) <= room, QJsonDocument(h).toJson().constData());
            turnarounds << t;
            errs += h.value("verdict") == "err";
        }
    }
    if (halfDuplex) return;
    QCOMPARE(errs, 1); // one sum in four wrong, of six replies
    std::sort(turnarounds.begin(), turnarounds.end());
    const double median = turnarounds[turnarounds.size() / 2];
    QVERIFY2(qAbs(median - 12) <= kChar / 1e6, QByteArray::number(median).constData());
}

void TestMonitor::deviceGone() {
    auto pty = std::make_unique<Pty>();
    // Not inherited by the monitor, or closing it here would close nothing.
    ::fcntl(pty->master(), F_SETFD, FD_CLOEXEC);
    MonitorProcess m({"--monitor", pty->slavePath(), "--json"},
                     QProcessEnvironment::systemEnvironment());
    pty->write(QByteArray::fromHex("11303031303103030230303130313233"
                                   "2e34303034343317"));
    QTest::qWait(200);
    pty->releaseSlave();
    pty.reset(); // the adapter pulled out
    QVERIFY(m.p.waitForFinished(10000));
    QCOMPARE(m.p.exitCode(), 2);
    const QList<QJsonObject> stats = json_lines(m.p.readAllStandardOutput(), "statistics");
    QCOMPARE(stats.size(), 1);
    const QJsonObject row = stats.first()
                                .value("statistics")
                                .toObject()
                                .value("instruments")
                                .toArray()
                                .first()
                                .toObject();
    QCOMPARE(row.value("ok").toInt(), 1);
}

QTEST_GUILESS_MAIN(TestMonitor)
#include "tst_monitor.moc"
