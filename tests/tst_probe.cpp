// kestrova-probe against the real simulator process over a pseudo-terminal.
// Frames and replies are pinned as hex written out by hand.
#include "fakeserialport.h"
#include "prober.h"
#include "ptyutil.h"
#include "simprocess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace {

struct ProbeRun {
    int exitCode = -1;
    QList<QJsonObject> exchanges;
    QJsonObject stats; // the last line, when it holds the statistics
    QByteArray out;
    QByteArray err;
};

void parse(ProbeRun &r) {
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    for (qsizetype i = 0; i < lines.size() && !r.out.trimmed().isEmpty(); ++i) {
        QJsonParseError e{};
        const QJsonDocument doc = QJsonDocument::fromJson(lines[i], &e);
        QVERIFY2(e.error == QJsonParseError::NoError && doc.isObject(), lines[i].constData());
        if (doc.object().contains("statistics")) {
            QCOMPARE(i, lines.size() - 1); // statistics come last
            r.stats = doc.object().value("statistics").toObject();
        } else {
            r.exchanges << doc.object();
        }
    }
}

ProbeRun run_probe(const QStringList &args,
                   const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment()) {
    ProbeRun r;
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(qEnvironmentVariable("KC_PROBE"), decoy_com_args() + args);
    if (!p.waitForFinished(120000)) p.kill();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    if (args.contains("--json")) parse(r);
    return r;
}

// "1/1 ok 23.4": address, channel, verdict and value of one exchange.
QString summary(const QJsonObject &o) {
    const QJsonValue v = o.value("value");
    return QStringLiteral("%1/%2 %3 %4")
        .arg(o.value("address").toInt())
        .arg(o.value("channel").toInt())
        .arg(o.value("verdict").toString(), v.isNull() ? QStringLiteral("-") : v.toString());
}

// The keys of an object, sorted and spaced.
QString keys(const QJsonObject &o) {
    return o.keys().join(' ');
}

// "sent answered ok err ack nak malformed timeout"
QString counts(const QJsonObject &s) {
    QStringList c;
    for (const char *k : {"sent", "answered", "ok", "err", "ack", "nak", "malformed", "timeout"})
        c << QString::number(s.value(k).toInt(-1));
    return c.join(' ');
}

// A device or server played by the test: after each frame it does what the
// test says (a reply, a refusal of the settings, a breakdown), from the event
// loop as a real port would.
class ScriptedPort : public FakeSerialPort {
public:
    std::function<void(ScriptedPort &, int frame)> react;
    int frames = 0;

protected:
    void writeData(const QByteArray &bytes) override {
        FakeSerialPort::writeData(bytes);
        const int n = ++frames;
        QTimer::singleShot(0, this, [this, n] {
            if (react) react(*this, n);
        });
    }
};

// A prober run in this process over `port`: its standard output and exit code.
std::pair<QByteArray, int> run_prober(SerialPort &port, const Plan &plan,
                                      const std::function<void(Prober &)> &started = {}) {
    QTemporaryFile out;
    if (!out.open()) return {};
    std::fflush(stdout);
    const int saved = ::dup(1);
    ::dup2(out.handle(), 1);
    Prober prober(port, plan);
    int exitCode = -1;
    QObject::connect(&prober, &Prober::finished, [&](int code) { exitCode = code; });
    prober.start();
    if (started) started(prober);
    if (!QTest::qWaitFor([&] { return exitCode >= 0; }, 20000)) prober.stop();
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    out.seek(0);
    return {out.readAll(), exitCode};
}

// PV of address 001, channel 01, as JSON lines.
Plan one_pv_read(int timeoutMs) {
    Plan plan;
    plan.function = "pv";
    plan.addresses = {1};
    plan.channels = {1};
    plan.timeoutMs = timeoutMs;
    plan.json = true;
    return plan;
}

// Replies as the simulator's defaults give them, pinned by hand.
const QByteArray kReply001 = QByteArray("\x14"
                                        "01\x02"
                                        "0010123.4"
                                        "00560\x17");
const QByteArray kReply002 = QByteArray("\x14"
                                        "01\x02"
                                        "0020123.4"
                                        "00561\x17");

} // namespace

class TestProbe : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void exchanges_data();
    void exchanges();
    void writeThenReadBack();
    void scanFindsExactlyTheInstruments();
    void csvHasARowPerExchange();
    void stopMidPoll_data();
    void stopMidPoll();
    void refusedBeforeSending_data();
    void refusedBeforeSending();
    void lateReplyNeverCredited();
    void discovery_data();
    void discovery();
    void portKeptForTheRun_data();
    void portKeptForTheRun();
    void discoveryOverScriptedPort_data();
    void discoveryOverScriptedPort();
    void breakdownKeepsWhatCame();
};

void TestProbe::initTestCase() {
    QVERIFY2(QFileInfo(qEnvironmentVariable("KC_SIM")).isExecutable(), "KC_SIM: kestrova-sim");
    QVERIFY2(QFileInfo(qEnvironmentVariable("KC_PROBE")).isExecutable(),
             "KC_PROBE: kestrova-probe");
}

void TestProbe::exchanges_data() {
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("probeArgs");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("pinned"); // the exchange whose bytes are pinned
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("stats");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("keys"); // of every exchange line
    const QString pvKeys("address channel function latency_ms reply request time value verdict");
    const QString parameterKeys(
        "address channel function latency_ms parameter reply request time value verdict");

    QTest::newRow("read, defaults")
        << QStringList() << QStringList() << QStringList{"1/1 ok 23.4"} << 0
        << QString("1430311130303130310303") << QString("14303102303031303132332e34303035363017")
        << QString("1 1 1 0 0 0 0 0") << 0 << pvKeys;
    QTest::newRow("parameter read, instrument model")
        << QStringList()
        << QStringList{"--model", "PM-07",     "--function", "param",       "--address",
                       "3",       "--channel", "4",          "--parameter", "20"}
        << QStringList{"3/4 ok 0020.0"} << 0 << QString("1230303330341f32300303")
        << QString("0230303330341f32301f303032302e30303036393717") << QString("1 1 1 0 0 0 0 0")
        << 0 << parameterKeys;
    QTest::newRow("address and channel lists, a silent address")
        << QStringList()
        << QStringList{"--address", "1,3:4", "--channel", "2:3", "--timeout", "100"}
        << QStringList{"1/2 ok 1.2", "1/3 ok 1.3",    "3/2 ok 3.2",
                       "3/3 ok 3.3", "4/2 timeout -", "4/3 timeout -"}
        << 0 << QString("1430311130303130320303") << QString("143031023030313032312e32303035303717")
        << QString("6 4 4 0 0 0 0 2") << 1 << pvKeys;
    QTest::newRow("write to a missing parameter: NAK")
        << QStringList() << QStringList{"--function", "write", "--parameter", "21"}
        << QStringList{"1/1 nak -"} << 0
        << QString("1430311330303130311f32311f303030302e301f30303835360303") << QString("14303115")
        << QString("1 1 0 0 0 1 0 0") << 1 << parameterKeys;
    // Replies 3, 6, 9 and 12 are dropped; sums 4, 8 and 12 come out one too
    // high, and the 12th of those is never sent.
    QTest::newRow("poll, simulator drops and corrupts")
        << QStringList{"--drop", "3", "--bad-sum", "4"} << QStringList{"--count", "12"}
        << QStringList{"1/1 ok 23.4",   "1/1 ok 23.4",   "1/1 timeout -", "1/1 err -",
                       "1/1 ok 23.4",   "1/1 timeout -", "1/1 ok 23.4",   "1/1 err -",
                       "1/1 timeout -", "1/1 ok 23.4",   "1/1 ok 23.4",   "1/1 timeout -"}
        << 3 << QString("1430311130303130310303")
        << QString("14303102303031303132332e34303035363117") << QString("12 8 6 2 0 0 0 4") << 1
        << pvKeys;
}

void TestProbe::exchanges() {
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, probeArgs);
    QFETCH(QStringList, expected);
    QFETCH(int, pinned);
    QFETCH(QString, request);
    QFETCH(QString, reply);
    QFETCH(QString, stats);
    QFETCH(int, exitCode);
    SimProcess sim(simArgs);
    QVERIFY2(sim.device().startsWith("/dev/"), qPrintable(sim.device()));

    const ProbeRun r = run_probe(QStringList{sim.device(), "--json"} + probeArgs);
    QCOMPARE(r.exitCode, exitCode);
    QStringList got;
    for (const QJsonObject &o : r.exchanges)
        got << summary(o);
    QCOMPARE(got, expected);
    QCOMPARE(r.exchanges[pinned].value("request").toString(), request);
    QCOMPARE(r.exchanges[pinned].value("reply").toString(), reply);
    QCOMPARE(counts(r.stats), stats);
    // The whole key set of every line, so that a key lost or renamed shows.
    QFETCH(QString, keys);
    for (const QJsonObject &o : r.exchanges)
        QCOMPARE(::keys(o), keys);
    QCOMPARE(::keys(r.stats), QString("ack answered err interrupted latency_ms loss_percent "
                                      "malformed nak ok sent stray timeout"));
    QCOMPARE(::keys(r.stats.value("latency_ms").toObject()), QString("max median min p99"));
}

void TestProbe::writeThenReadBack() {
    SimProcess sim({});
    const QStringList at{"--address", "2", "--channel", "3", "--parameter", "7"};
    const ProbeRun w = run_probe(
        QStringList{sim.device(), "--json", "--function", "write", "--value", "12.5"} + at);
    QCOMPARE(w.exitCode, 0);
    QCOMPARE(w.exchanges.size(), 1);
    QCOMPARE(w.exchanges[0].value("request").toString(),
             "1430311330303230331f30371f31322e351f30303737350303");
    QCOMPARE(w.exchanges[0].value("verdict").toString(), "ack");

    // Read back in the default, human form.
    const ProbeRun r = run_probe(QStringList{sim.device(), "--function", "param"} + at);
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = QString::fromUtf8(r.out).split('\n');
    QRegularExpression line(QStringLiteral(
        "^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}  地址 002  通道 03  参数 07  OK SUM=00727  值 12\\.5  "
        "\\d+\\.\\d\\d ms$"));
    QVERIFY2(line.match(lines.first()).hasMatch(), qPrintable(lines.first()));
    QVERIFY2(lines.size() > 1 && lines[1].contains(QStringLiteral("发送 1，应答 1，OK 1")),
             r.out.constData());
}

void TestProbe::scanFindsExactlyTheInstruments() {
    // No think time, so that a reply is never late for its 30 ms.
    SimProcess sim({"--delay", "0", "--instrument", "999:1"});
    const ProbeRun r = run_probe({sim.device(), "--json", "--scan", "--timeout", "30"});
    QCOMPARE(r.exitCode, 0);
    QStringList got;
    for (const QJsonObject &o : r.exchanges)
        got << summary(o);
    QCOMPARE(got, QStringList({"1/1 ok 23.4", "2/1 ok 2.1", "3/1 ok 3.1", "999/1 ok 999.1"}));
    QCOMPARE(counts(r.stats), "999 4 4 0 0 0 0 995");
}

void TestProbe::csvHasARowPerExchange() {
    SimProcess sim({"--drop", "2"});
    QTemporaryDir dir;
    const QString path = dir.filePath("poll.csv");
    QCOMPARE(run_probe({sim.device(), "--count", "4", "--csv", path}).exitCode, 1);
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray raw = f.readAll();
    QVERIFY(raw.startsWith("\xEF\xBB\xBF"));
    const QString csv = QString::fromUtf8(raw.mid(3));
    QVERIFY(csv.startsWith(QStringLiteral(u"时间,通讯口,波特率,发送信号,仪表型号,功能,")));
    QStringList verdicts;
    for (QString row : csv.split("\r\n", Qt::SkipEmptyParts).mid(1))
        verdicts << row.replace("\"9600,n,8,2\"", "s").section(',', 8, 8);
    QCOMPARE(verdicts, QStringList({"OK SUM=00560", "超时", "OK SUM=00560", "超时"}));
}

void TestProbe::stopMidPoll_data() {
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("how"); // a signal, or 0: the simulator goes away
    QTest::addColumn<int>("exitCode");

    QTest::newRow("Ctrl-C, every reply OK") << QStringList() << int(SIGINT) << 0;
    QTest::newRow("SIGTERM, every other reply dropped")
        << QStringList{"--drop", "2"} << int(SIGTERM) << 1;
    QTest::newRow("device gone") << QStringList() << 0 << 2;
}

void TestProbe::stopMidPoll() {
    QFETCH(QStringList, simArgs);
    QFETCH(int, how);
    QFETCH(int, exitCode);
    SimProcess sim(simArgs);
    QProcess p;
    p.start(qEnvironmentVariable("KC_PROBE"),
            decoy_com_args() +
                QStringList{sim.device(), "--json", "--interval", "20", "--timeout", "100"});
    QByteArray out;
    while (out.count('\n') < 4 && p.waitForReadyRead(5000))
        out += p.readAllStandardOutput();
    QVERIFY2(out.count('\n') >= 4, out.constData());
    if (how)
        ::kill(pid_t(p.processId()), how);
    else
        sim.stop();
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), exitCode);

    ProbeRun r;
    r.out = out + p.readAllStandardOutput();
    parse(r);
    QVERIFY(!r.stats.isEmpty());
    QCOMPARE(r.stats.value("sent").toInt(), r.exchanges.size());
    QCOMPARE(r.stats.value("interrupted").toBool(), how != 0);
    int ok = 0;
    for (const QJsonObject &o : r.exchanges)
        ok += o.value("verdict") == "ok";
    QCOMPARE(r.stats.value("ok").toInt(), ok);
    if (!how) QVERIFY(p.readAllStandardError().contains("kestrova-probe: "));
}

void TestProbe::refusedBeforeSending_data() {
    QTest::addColumn<QStringList>("args"); // "@" stands for the simulator's device
    QTest::addColumn<QString>("said");     // in the message
    QTest::newRow("device missing")
        << QStringList{"/dev/kestrova-none"} << QStringLiteral("/dev/kestrova-none");
    QTest::newRow("settings malformed")
        << QStringList{"@", "--settings", "9600,x,8,2"} << QStringLiteral("--settings 的值无效");
    QTest::newRow("value outside ASCII")
        << QStringList{"@", "--function", "write", "--value", "12°5"}
        << QStringLiteral("--value 的值");
    QTest::newRow("address beyond three digits")
        << QStringList{"@", "--address", "1,1000"} << QStringLiteral("--address 的值无效：1,1000");
    QTest::newRow("scan that would write")
        << QStringList{"@", "--scan", "--function", "write"} << QStringLiteral("--scan");
    QTest::newRow("COM17, no port of the PC")
        << QStringList{"COM17"} << QStringLiteral("没有通讯口 COM17");
    QTest::newRow("a settings search that would write")
        << QStringList{"@", "--find-settings", "--function", "write"}
        << QStringLiteral("--find-settings 和 --find-direction 只能读取");
    QTest::newRow("a direction search that would write")
        << QStringList{"@", "--find-direction", "--function", "write"}
        << QStringLiteral("--find-settings 和 --find-direction 只能读取");
    QTest::newRow("an address with its port out of range")
        << QStringList{"rfc2217://127.0.0.1:99999"} << QStringLiteral("端口号无效");
    QTest::newRow("--com mapped to an address without a port")
        << QStringList{"--com", "1=socket://127.0.0.1", "COM1"} << QStringLiteral("没有端口号");
    QTest::newRow("no serial device") << QStringList{"/dev/null"} << QStringLiteral("不是串口设备");
}

void TestProbe::refusedBeforeSending() {
    QFETCH(QStringList, args);
    SimProcess sim({});
    args.replaceInStrings(QRegularExpression("^@$"), sim.device());
    const ProbeRun r = run_probe(args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.out.isEmpty(), r.out.constData());
    QVERIFY2(r.err.contains("kestrova-probe: "), r.err.constData());
    QFETCH(QString, said);
    QVERIFY2(QString::fromUtf8(r.err).contains(said), r.err.constData());
}

// Replies come 45 ms after each request, the probe waits 30: every reply
// arrives during a later exchange, and must be told as a stray under the
// address it names, never as that exchange's answer.
void TestProbe::lateReplyNeverCredited() {
    SimProcess sim({"--delay", "45"});
    const ProbeRun r = run_probe({sim.device(), "--json", "--address", "1,2,3", "--timeout", "30",
                                  "--count", "2", "--channel", "1:2"});
    QCOMPARE(r.exitCode, 1);
    int exchanges = 0, strays = 0;
    for (const QJsonObject &o : r.exchanges) {
        const QString verdict = o.value("verdict").toString();
        if (verdict == "stray") {
            ++strays;
            // The reply names the address and channel it is listed under.
            const QByteArray reply = QByteArray::fromHex(o.value("reply").toString().toLatin1());
            const qsizetype stx = reply.indexOf('\x02');
            QCOMPARE(reply.mid(stx + 1, 5),
                     QString::asprintf("%03d%02d", o.value("address").toInt(),
                                       o.value("channel").toInt())
                         .toLatin1());
            QVERIFY(o.value("request").isNull());
        } else {
            ++exchanges;
            QCOMPARE(verdict, "timeout");
            QCOMPARE(o.value("reply").toString(), "");
        }
    }
    QCOMPARE(exchanges, 12);
    QVERIFY2(strays > 0, r.out.constData());
    QCOMPARE(r.stats.value("stray").toInt(), strays);
    QCOMPARE(counts(r.stats), "12 0 0 0 0 0 0 12");
}

void TestProbe::discovery_data() {
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<bool>("bus"); // the probe's line calls reported to the simulator
    QTest::addColumn<QStringList>("probeArgs");
    // Each row tried (its setting or direction, what came, the good addresses),
    // and the last line.
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("exitCode");

    const QString found = R"({"result":{"found":true,"settings":"9600,n,8,2","tried":1}})";
    const QString none = R"({"result":{"found":false,"settings":null,"tried":28}})";
    QStringList every; // the 28 settings in the order they are tried
    for (const char *rate : {"9600", "19200", "4800", "38400", "2400", "56000", "1200"})
        for (const char *format : {"n,8,2", "n,8,1", "e,8,1", "o,8,1"})
            every << QStringLiteral("%1,%2").arg(rate, format);
    const QStringList directions{"RTS=0", "RTS=1", "DTR=0", "DTR=1", "MODEM"};
    auto came = [](const QStringList &tried, const char *what) {
        QStringList rows;
        for (const QString &t : tried)
            rows << t + ' ' + what;
        return rows;
    };

    QTest::newRow("settings: the usual ones answer")
        << QStringList() << false << QStringList{"--find-settings"}
        << QStringList{"9600,n,8,2 good [1]"} << found << 0;
    QTest::newRow("settings: nobody at the address, all 28 tried")
        << QStringList() << false
        << QStringList{"--find-settings", "--address", "9", "--timeout", "10"}
        << came(every, "nothing []") << none << 1;
    // The instruments hold 9600,n,8,2; on a pseudo-terminal the simulator sees
    // the rate and the stop bits.
    QTest::newRow("settings: every sum wrong")
        << QStringList{"--bad-sum", "1"} << false
        << QStringList{"--find-settings", "--timeout", "100"}
        << QStringList{"9600,n,8,2 bad_sum []"} + came(every.mid(1), "nothing []") << none << 1;
    QTest::newRow("settings with a scan: addresses at the first setting")
        << QStringList{"--delay", "0"} << false
        << QStringList{"--find-settings", "--scan", "--timeout", "10", "--channel", "2"}
        << QStringList{"9600,n,8,2 good [1,2,3]"} << found << 0;
    QTest::newRow("direction: a pseudo-terminal answers on every line")
        << QStringList() << false << QStringList{"--find-direction"}
        << came(directions, "good [1]") + QStringList{"RS485 not_held []"}
        << QString(
               R"({"result":{"directions":["RTS=0","RTS=1","DTR=0","DTR=1","MODEM"],"found":true,"tried":6}})")
        << 0;
    QTest::newRow("direction: only the echo of the request comes back")
        << QStringList{"--echo"} << false
        << QStringList{"--find-direction", "--model", "PM-01", "--address", "9", "--timeout", "10"}
        << came(directions, "no_frame []") + QStringList{"RS485 not_held []"}
        << QString(R"({"result":{"directions":[],"found":false,"tried":6}})") << 1;
    // Rate and stop bits are all a pseudo-terminal shows the simulator.
    QTest::newRow("settings: instruments at 4800,n,8,1")
        << QStringList{"--settings", "4800,n,8,1"} << false
        << QStringList{"--find-settings", "--timeout", "30"}
        << came(every.mid(0, 9), "nothing []") + QStringList{"4800,n,8,1 good [1]"}
        << QString(R"({"result":{"found":true,"settings":"4800,n,8,1","tried":10}})") << 0;
    QTest::newRow("settings: instruments at 600 baud, outside the list")
        << QStringList{"--settings", "600,n,8,2"} << false
        << QStringList{"--find-settings", "--timeout", "10"} << came(every, "nothing []") << none
        << 1;
    // With the line calls reported, parity and data bits count too.
    QTest::newRow("settings: instruments at 4800,e,8,1, all four seen")
        << QStringList{"--settings", "4800,e,8,1"} << true
        << QStringList{"--find-settings", "--timeout", "30"}
        << came(every.mid(0, 10), "nothing []") + QStringList{"4800,e,8,1 good [1]"}
        << QString(R"({"result":{"found":true,"settings":"4800,e,8,1","tried":11}})") << 0;
    // A reply 20 ms after the frame: room for a release made without
    // real-time priority.
    QTest::newRow("direction: converter switched by DTR=1")
        << QStringList{"--half-duplex", "--converter", "DTR=1", "--delay", "20"} << true
        << QStringList{"--find-direction", "--timeout", "80"}
        << QStringList{"RTS=0 nothing []", "RTS=1 nothing []", "DTR=0 nothing []",
                       "DTR=1 good [1]",   "MODEM nothing []", "RS485 not_held []"}
        << QString(R"({"result":{"directions":["DTR=1"],"found":true,"tried":6}})") << 0;
    QTest::newRow("direction: converter with automatic direction")
        << QStringList{"--half-duplex", "--converter", "auto"} << true
        << QStringList{"--find-direction", "--timeout", "50"}
        << came(directions, "good [1]") + QStringList{"RS485 not_held []"}
        << QString(
               R"({"result":{"directions":["RTS=0","RTS=1","DTR=0","DTR=1","MODEM"],"found":true,"tried":6}})")
        << 0;
}

void TestProbe::discovery() {
    QFETCH(QStringList, simArgs);
    QFETCH(bool, bus);
    QFETCH(QStringList, probeArgs);
    QFETCH(QStringList, expected);
    QFETCH(QString, result);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("bus"));
    if (bus) simArgs << "--report-socket" << socket;
    SimProcess sim(simArgs);
    const QProcessEnvironment env =
        bus ? line_shim_environment(socket) : QProcessEnvironment::systemEnvironment();
    ProbeRun r = run_probe(QStringList{sim.device(), "--json"} + probeArgs, env);
    QCOMPARE(r.exitCode, exitCode);
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    QStringList got;
    for (const QByteArray &line : lines.mid(0, lines.size() - 1)) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        const QString tried = o.contains("settings") ? o.value("settings").toString()
                                                     : o.value("direction").toString();
        got << tried + ' ' + o.value("came").toString() + ' ' +
                   QJsonDocument(o.value("good").toArray()).toJson(QJsonDocument::Compact);
    }
    QCOMPARE(got, expected);
    QCOMPARE(lines.last(), result.toLatin1());
}

// The prober over the recording port: a poll opens the port once (and with it
// takes the lock file once) unless asked to reopen as the console does; the
// frames on the line are the same either way.
void TestProbe::portKeptForTheRun_data() {
    QTest::addColumn<bool>("reopen");
    QTest::addColumn<int>("openings");
    QTest::newRow("kept") << false << 1;
    QTest::newRow("reopened at every exchange") << true << 3;
}

void TestProbe::portKeptForTheRun() {
    QFETCH(bool, reopen);
    QFETCH(int, openings);
    FakeSerialPort port;
    Plan plan;
    plan.function = "pv";
    plan.addresses = {1, 2, 3};
    plan.channels = {1};
    plan.timeoutMs = 1;
    plan.reopen = reopen;
    Prober prober(port, plan);
    int exitCode = -1;
    QObject::connect(&prober, &Prober::finished, [&](int code) { exitCode = code; });
    prober.start();
    QTRY_COMPARE(exitCode, 1); // every exchange timed out
    QCOMPARE(port.log.count("open"), openings);
    QCOMPARE(port.writes, QList<QByteArray>({"\x14"
                                             "01\x11"
                                             "00101\x03\x03",
                                             "\x14"
                                             "01\x11"
                                             "00201\x03\x03",
                                             "\x14"
                                             "01\x11"
                                             "00301\x03\x03"}));
    QVERIFY(!port.portOpen());
}

void TestProbe::discoveryOverScriptedPort_data() {
    QTest::addColumn<QString>("given");        // --settings, or none
    QTest::addColumn<QStringList>("refused");  // settings refused once the frame went out
    QTest::addColumn<QStringList>("strays");   // settings at which address 002 answers
    QTest::addColumn<QString>("good");         // the settings the meter answers at
    QTest::addColumn<int>("stopAtFrame");      // Ctrl+C as this frame goes out; 0: never
    QTest::addColumn<QStringList>("expected"); // "settings came address" per row
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("exitCode");
    // A server that will not hold one rate answers it only after the frame
    // was handed over, through the port's failure signal.
    QTest::newRow("a server refuses a setting: a row, and the search goes on")
        << QString() << QStringList{"9600,n,8,2", "9600,n,8,1"} << QStringList() << "9600,e,8,1"
        << 0 << QStringList{"9600,n,8,2 not_held 0", "9600,n,8,1 not_held 0", "9600,e,8,1 good 1"}
        << R"({"result":{"found":true,"settings":"9600,e,8,1","tried":3}})" << 0;
    QTest::newRow("a reply from another address is told, with the address")
        << QString() << QStringList() << QStringList{"9600,n,8,2"} << "9600,n,8,1" << 0
        << QStringList{"9600,n,8,2 stray 2", "9600,n,8,1 good 1"}
        << R"({"result":{"found":true,"settings":"9600,n,8,1","tried":2}})" << 0;
    QTest::newRow("--settings is tried first")
        << "4800,n,8,1" << QStringList() << QStringList() << "4800,n,8,1" << 0
        << QStringList{"4800,n,8,1 good 1"}
        << R"({"result":{"found":true,"settings":"4800,n,8,1","tried":1}})" << 0;
    QTest::newRow("Ctrl+C in the fourth row counts the three told")
        << QString() << QStringList() << QStringList() << "1200,n,8,2" << 4
        << QStringList{"9600,n,8,2 nothing 1", "9600,n,8,1 nothing 1", "9600,e,8,1 nothing 1"}
        << R"({"result":{"found":false,"settings":null,"tried":3}})" << 1;
}

void TestProbe::discoveryOverScriptedPort() {
    QFETCH(QString, given);
    QFETCH(QStringList, refused);
    QFETCH(QStringList, strays);
    QFETCH(QString, good);
    QFETCH(int, stopAtFrame);
    ScriptedPort port;
    Prober *running = nullptr;
    port.react = [&](ScriptedPort &p, int frame) {
        if (frame == stopAtFrame && running) return running->stop();
        const QString s = p.settingsInEffect;
        if (refused.contains(s)) {
            p.setPortOpen(false);
            PortError e{PortError::SettingsNotHeld};
            emit p.failed(e);
        } else if (strays.contains(s)) {
            p.receive(kReply002);
        } else if (s == good) {
            p.receive(kReply001);
        }
    };
    Plan plan = one_pv_read(20);
    plan.discovery = Discovery::Settings;
    if (!given.isEmpty()) {
        plan.base.settings = given;
        plan.settingsGiven = true;
    }
    const auto [out, code] = run_prober(port, plan, [&](Prober &p) { running = &p; });
    const QList<QByteArray> lines = out.trimmed().split('\n');
    QStringList got;
    for (const QByteArray &line : lines.mid(0, lines.size() - 1)) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        got << QStringLiteral("%1 %2 %3")
                   .arg(o.value("settings").toString(), o.value("came").toString())
                   .arg(o.value("address").toInt());
    }
    QFETCH(QStringList, expected);
    QFETCH(QString, result);
    QFETCH(int, exitCode);
    QCOMPARE(got, expected);
    QCOMPARE(lines.last(), result.toLatin1());
    QCOMPARE(code, exitCode);
    // A write is never tried: every frame on the line reads PV.
    for (const QByteArray &w : port.writes)
        QCOMPARE(w.mid(3, 1), QByteArray("\x11"));
}

// The port breaks down in the middle of a reply: the frame went out and is
// counted, and what came of the reply is shown.
void TestProbe::breakdownKeepsWhatCame() {
    ScriptedPort port;
    port.react = [](ScriptedPort &p, int) {
        p.receive(kReply001.left(8));
        p.breakDown("gone");
    };
    Plan plan = one_pv_read(200);
    plan.rounds = 3;
    const auto [out, exitCode] = run_prober(port, plan);
    QCOMPARE(exitCode, 2);
    ProbeRun r;
    r.out = out;
    r.exitCode = exitCode;
    parse(r);
    QCOMPARE(r.exchanges.size(), 1);
    QCOMPARE(r.exchanges.first().value("reply").toString(),
             QString::fromLatin1(kReply001.left(8).toHex()));
    QCOMPARE(r.exchanges.first().value("verdict").toString(), QStringLiteral("malformed"));
    QCOMPARE(counts(r.stats), "1 1 0 0 0 0 1 0");
}

QTEST_GUILESS_MAIN(TestProbe)
#include "simprocess.h"
#include "tst_probe.moc"
