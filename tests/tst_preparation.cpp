// Port preparation, direction control and the line settings text, against the
// recording port.
#include "fakeserialport.h"
#include "portmap.h"
#include "portsession.h"
#include "porttext.h"
#include "preparation.h"
#include "settings.h"

#include "frametable.h"

#include <QtTest>

namespace {

void openQuietly(FakeSerialPort &port, int number) {
    port.setPortNumber(number);
    port.setPortOpen(true);
}

// Characters from before a preparation: one not yet sent, one not yet read.
void leaveStale(FakeSerialPort &port) {
    port.unsent = "stale out";
    port.queueInput("stale in");
}

// What both preparations leave: the port open on `device` with `settings`,
// nothing from before still to send or to read, the event thresholds set, and
// a write going out there, so.
void checkPrepared(FakeSerialPort &port, const QString &device, const QString &settings) {
    QVERIFY(port.portOpen());
    QCOMPARE(port.openedOn, device);
    QCOMPARE(port.settingsInEffect, settings);
    QCOMPARE(port.unsent, QByteArray());
    QCOMPARE(port.unread(), QByteArray());
    QCOMPARE(port.controls().inputLength, 0);
    QCOMPARE(port.controls().sThreshold, 5); // event code 1 once fewer than 5 characters wait
    QCOMPARE(port.controls().rThreshold, 1); // event code 2 for every arrival
    QCOMPARE(port.controls().inputMode, 0);
    port.output("F");
    QCOMPARE(port.line.last(),
             (FakeSerialPort::LineWrite{"F", device, settings, port.rts, port.dtr}));
}

// "rts 0" of the direction rows: the line and the level it is driven to.
void checkDriven(const FakeSerialPort &port, const QString &entry, bool rtsBefore, bool dtrBefore) {
    const bool rts = entry.startsWith(QLatin1String("rts")) ? entry.endsWith(u'1') : rtsBefore;
    const bool dtr = entry.startsWith(QLatin1String("dtr")) ? entry.endsWith(u'1') : dtrBefore;
    QCOMPARE(port.rts, rts);
    QCOMPARE(port.dtr, dtr);
}

} // namespace

class TestPreparation : public QObject {
    Q_OBJECT
private slots:
    void testPreparationOrder_data();
    void testPreparationOrder();
    void testPreparationTwiceReopens();
    void atPreparationOrder_data();
    void atPreparationOrder();
    void portTexts_data();
    void portTexts();
    void portTextForms_data();
    void portTextForms();
    void comOption_data();
    void comOption();
    void direction_data();
    void direction();
    void directionDrivesOnlyItsLine();
    void settingsAccepted_data();
    void settingsAccepted();
    void settingsRejected_data();
    void settingsRejected();
    void rejectedSettingsStopPreparation();
    void keepOrReopen_data();
    void keepOrReopen();
};

void TestPreparation::testPreparationOrder_data() {
    QTest::addColumn<bool>("wasOpen");
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("number");

    QTest::newRow("closed, defaults") << false << "COM1"
                                      << "9600,n,8,2" << 1;
    QTest::newRow("open, defaults") << true << "COM1"
                                    << "9600,n,8,2" << 1;
    QTest::newRow("open, COM16 at 56000") << true << "COM16"
                                          << "56000,n,8,2" << 16;
    // The port is reopened on the number it had (3).
    QTest::newRow("open, unmatched port text") << true << "com1"
                                               << "1200,n,8,2" << 3;
    QTest::newRow("closed, unmatched port text") << false << "COM17"
                                                 << "9600,n,8,2" << 3;
}

// Whatever the port was, it ends up (re)opened on the chosen device with the
// settings, and nothing from before goes out or is read.
void TestPreparation::testPreparationOrder() {
    QFETCH(bool, wasOpen);
    QFETCH(QString, portText);
    QFETCH(QString, settings);
    QFETCH(int, number);

    FakeSerialPort port;
    port.setPortNumber(3);
    if (wasOpen) port.setPortOpen(true);
    port.setSettings("1200,e,7,1");
    leaveStale(port);
    QVERIFY(test_preparation(port, portText, settings, "RTS=0"));
    QCOMPARE(port.opens, wasOpen ? 2 : 1);
    QCOMPARE(port.portNumber(), number);
    checkPrepared(port, QStringLiteral("/dev/fake%1").arg(number), settings);
}

void TestPreparation::testPreparationTwiceReopens() {
    FakeSerialPort port;
    QVERIFY(test_preparation(port, "COM2", "9600,n,8,2", "RTS=0"));
    leaveStale(port);
    QVERIFY(test_preparation(port, "COM2", "9600,n,8,2", "RTS=0"));
    QCOMPARE(port.opens, 2);
    checkPrepared(port, "/dev/fake2", "9600,n,8,2");
}

void TestPreparation::atPreparationOrder_data() {
    QTest::addColumn<bool>("wasOpen");
    QTest::addColumn<QString>("settings"); // in effect afterwards
    QTest::newRow("closed: settings, then open") << false << "4800,e,7,1";
    // An open port keeps its number and settings.
    QTest::newRow("open: neither") << true << "19200,n,8,1";
}

void TestPreparation::atPreparationOrder() {
    QFETCH(bool, wasOpen);
    QFETCH(QString, settings);
    FakeSerialPort port;
    port.setPortNumber(7);
    port.setSettings("19200,n,8,1");
    if (wasOpen) port.setPortOpen(true);
    leaveStale(port);
    QVERIFY(at_preparation(port, "4800,e,7,1"));
    QCOMPARE(port.opens, 1);
    QCOMPARE(port.portNumber(), 7);
    checkPrepared(port, "/dev/fake7", settings);
}

void TestPreparation::portTexts_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("number"); // 0: keeps the previous number
    for (int n = 1; n <= 16; ++n)
        QTest::addRow("COM%d", n) << QStringLiteral("COM%1").arg(n) << n;
    QTest::newRow("lower case") << "com1" << 0;
    QTest::newRow("mixed case") << "Com2" << 0;
    QTest::newRow("trailing space") << "COM1 " << 0;
    QTest::newRow("leading space") << " COM1" << 0;
    QTest::newRow("above 16") << "COM17" << 0;
    QTest::newRow("zero") << "COM0" << 0;
    QTest::newRow("leading zero") << "COM01" << 0;
    QTest::newRow("no number") << "COM" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("full-width digit") << "COM１" << 0;
    QTest::newRow("device path") << "/dev/ttyS0" << 0;
}

void TestPreparation::portTextForms_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("problem");
    const int bad = PortText::Bad;
    QTest::newRow("COM16") << "COM16" << int(PortText::Com) << "" << 0 << 0;
    QTest::newRow("device path") << "/dev/ttyUSB0" << int(PortText::Device) << "" << 0 << 0;
    QTest::newRow("link path") << "/dev/serial/by-id/usb-x" << int(PortText::Device) << "" << 0
                               << 0;
    QTest::newRow("relative path") << "ttyUSB0" << int(PortText::Other) << "" << 0 << 0;
    QTest::newRow("rfc2217") << "rfc2217://gw.plant:2217" << int(PortText::Rfc2217) << "gw.plant"
                             << 2217 << 0;
    QTest::newRow("socket, IPv4") << "socket://10.0.0.7:4001" << int(PortText::Raw) << "10.0.0.7"
                                  << 4001 << 0;
    QTest::newRow("socket, IPv6") << "socket://[::1]:4001" << int(PortText::Raw) << "::1" << 4001
                                  << 0;
    QTest::newRow("port 65535") << "socket://gw:65535" << int(PortText::Raw) << "gw" << 65535 << 0;
    // Schemes are case-insensitive, as in any URL.
    QTest::newRow("upper-case scheme")
        << "RFC2217://gw:2217" << int(PortText::Rfc2217) << "gw" << 2217 << 0;
    QTest::newRow("mixed-case scheme") << "Socket://gw:1" << int(PortText::Raw) << "gw" << 1 << 0;
    // Looks like an address but cannot be used: said, never the port used before.
    const struct {
        const char *name, *text;
        PortText::Problem problem;
    } bads[] = {
        {"nothing after the scheme", "rfc2217://", PortText::NoHost},
        {"no host", "socket://:4001", PortText::NoHost},
        {"no port", "rfc2217://gw", PortText::NoPort},
        {"colon, no port", "socket://127.0.0.1:", PortText::NoPort},
        {"IPv6, no port", "socket://[::1]", PortText::NoPort},
        {"port 0", "rfc2217://gw:0", PortText::PortRange},
        {"port too large", "socket://gw:65536", PortText::PortRange},
        {"port far too large", "rfc2217://127.0.0.1:99999", PortText::PortRange},
        {"port with a sign", "rfc2217://gw:+80", PortText::PortRange},
        {"port not a number", "rfc2217://gw:http", PortText::PortRange},
        {"user part", "rfc2217://user@127.0.0.1:23101", PortText::UserPart},
        {"path after it", "rfc2217://gw:2217/x", PortText::Extra},
        {"query after it", "rfc2217://gw:2217?x", PortText::Extra},
        {"host with a space", "socket://g w:1", PortText::BadHost},
        {"other scheme", "telnet://gw:23", PortText::UnknownScheme},
        {"other scheme, upper case", "TCP://gw:23", PortText::UnknownScheme},
    };
    for (const auto &b : bads)
        QTest::newRow(b.name) << b.text << bad << "" << 0 << int(b.problem);
    QTest::newRow("leading space") << " socket://gw:1" << int(PortText::Other) << "" << 0 << 0;
    QTest::newRow("no slashes") << "socket:gw:1" << int(PortText::Other) << "" << 0 << 0;
}

void TestPreparation::portTextForms() {
    QFETCH(QString, text);
    QFETCH(int, kind);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, problem);
    const PortText t = port_text_of(text);
    QCOMPARE(int(t.kind), kind);
    QCOMPARE(t.host, host);
    QCOMPARE(int(t.port), port);
    QCOMPARE(int(t.problem), problem);
}

void TestPreparation::portTexts() {
    QFETCH(QString, text);
    QFETCH(int, number);
    QCOMPARE(port_number_of(text), number);

    FakeSerialPort port;
    openQuietly(port, 9);
    QVERIFY(test_preparation(port, text, "9600,n,8,2", "RTS=0"));
    QCOMPARE(port.portNumber(), number ? number : 9);
    QCOMPARE(port.openedOn, QStringLiteral("/dev/fake%1").arg(number ? number : 9));
}

void TestPreparation::comOption_data() {
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("number"); // 0: refused
    QTest::newRow("number") << "1=/dev/ttyUSB0" << 1;
    QTest::newRow("as the port box names it") << "COM1=/dev/ttyUSB0" << 1;
    QTest::newRow("COM16") << "COM16=/dev/ttyUSB3" << 16;
    QTest::newRow("COM17") << "COM17=/dev/ttyUSB0" << 0;
    QTest::newRow("COM0") << "COM0=/dev/ttyUSB0" << 0;
    QTest::newRow("COM alone") << "COM=/dev/ttyUSB0" << 0;
    QTest::newRow("no device") << "COM2=" << 0;
}

void TestPreparation::comOption() {
    QFETCH(QString, option);
    QFETCH(int, number);
    PortMap map;
    QCOMPARE(map.add(option), number != 0);
    if (number) QCOMPARE(map.device(number), option.section(QLatin1Char('='), 1));
}

void TestPreparation::direction_data() {
    addDirectionRows();
    // The driver switches: no modem line at either end.
    QTest::newRow("RS485") << "RS485"
                           << ""
                           << "";
    QTest::newRow("RTS=0 with a space") << "RTS=0 "
                                        << ""
                                        << "";
    QTest::newRow("RTS=2") << "RTS=2"
                           << ""
                           << "";
    QTest::newRow("modem") << "modem"
                           << ""
                           << "";
    QTest::newRow("empty") << ""
                           << ""
                           << "";
}

// From either level of both lines, the line named is driven to its level at
// the raise and at the release; the other, or both for an unmatched text, stay.
void TestPreparation::direction() {
    QFETCH(QString, signal);
    QFETCH(QString, atRaise);
    QFETCH(QString, atRelease);
    for (const bool rtsBefore : {false, true})
        for (const bool dtrBefore : {false, true}) {
            FakeSerialPort port;
            port.rts = rtsBefore;
            port.dtr = dtrBefore;
            raise(port, signal);
            checkDriven(port, atRaise, rtsBefore, dtrBefore);
            port.rts = rtsBefore;
            port.dtr = dtrBefore;
            release(port, signal);
            checkDriven(port, atRelease, rtsBefore, dtrBefore);
        }
}

// The other line keeps whatever level it had, whichever level that is.
void TestPreparation::directionDrivesOnlyItsLine() {
    for (const bool other : {false, true}) {
        FakeSerialPort port;
        port.dtr = other;
        raise(port, "RTS=1");
        QVERIFY(port.rts);
        release(port, "RTS=1");
        QVERIFY(!port.rts);
        QCOMPARE(port.dtr, other);

        port.rts = other;
        raise(port, "DTR=0");
        QVERIFY(!port.dtr);
        release(port, "DTR=0");
        QVERIFY(port.dtr);
        QCOMPARE(port.rts, other);

        // MODEM drives DTR on at both ends, whatever it was.
        port.dtr = false;
        raise(port, "MODEM");
        QVERIFY(port.dtr);
        port.dtr = false;
        release(port, "MODEM");
        QVERIFY(port.dtr);
        QCOMPARE(port.rts, other);
    }
}

void TestPreparation::settingsAccepted_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("data");
    QTest::addColumn<int>("stop");

    const int n = QSerialPort::NoParity, e = QSerialPort::EvenParity, o = QSerialPort::OddParity,
              m = QSerialPort::MarkParity, s = QSerialPort::SpaceParity;
    const int two = QSerialPort::TwoStop, one = QSerialPort::OneStop,
              oneHalf = QSerialPort::OneAndHalfStop;
    QTest::newRow("9600,n,8,2") << "9600,n,8,2" << 9600 << n << 8 << two;
    QTest::newRow("56000 not a termios rate") << "56000,n,8,2" << 56000 << n << 8 << two;
    QTest::newRow("1200,n,8,2") << "1200,n,8,2" << 1200 << n << 8 << two;
    QTest::newRow("N upper") << "9600,N,8,2" << 9600 << n << 8 << two;
    QTest::newRow("e") << "9600,e,7,1" << 9600 << e << 7 << one;
    QTest::newRow("E") << "9600,E,7,1" << 9600 << e << 7 << one;
    QTest::newRow("o") << "19200,o,6,1.5" << 19200 << o << 6 << oneHalf;
    QTest::newRow("O") << "19200,O,6,1.5" << 19200 << o << 6 << oneHalf;
    QTest::newRow("m") << "300,m,5,2" << 300 << m << 5 << two;
    QTest::newRow("M") << "300,M,5,1" << 300 << m << 5 << one;
    QTest::newRow("s") << "110,s,8,1" << 110 << s << 8 << one;
    QTest::newRow("S") << "110,S,7,2" << 110 << s << 7 << two;
    QTest::newRow("odd rate") << "12345,n,8,1" << 12345 << n << 8 << one;
}

void TestPreparation::settingsAccepted() {
    QFETCH(QString, text);
    QFETCH(int, rate);
    QFETCH(int, parity);
    QFETCH(int, data);
    QFETCH(int, stop);
    const auto s = parse_settings(text);
    QVERIFY(s);
    QCOMPARE(s->rate, rate);
    QCOMPARE(int(s->parity), parity);
    QCOMPARE(int(s->dataBits), data);
    QCOMPARE(int(s->stopBits), stop);
    // Messages write the settings back as the box would; that text reads the same.
    QCOMPARE(text.compare(settings_text(*s), Qt::CaseInsensitive), 0);
}

void TestPreparation::settingsRejected_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("parity x") << "9600,x,8,2";
    QTest::newRow("parity word") << "9600,none,8,2";
    QTest::newRow("parity empty") << "9600,,8,2";
    QTest::newRow("data 9") << "9600,n,9,2";
    QTest::newRow("data 4") << "9600,n,4,2";
    QTest::newRow("stop 3") << "9600,n,8,3";
    QTest::newRow("stop 0") << "9600,n,8,0";
    QTest::newRow("stop 1.0") << "9600,n,8,1.0";
    QTest::newRow("rate 0") << "0,n,8,2";
    QTest::newRow("negative rate") << "-9600,n,8,2";
    QTest::newRow("signed rate") << "+9600,n,8,2";
    QTest::newRow("fraction rate") << "9600.5,n,8,2";
    QTest::newRow("hex rate") << "0x2580,n,8,2";
    QTest::newRow("rate too large") << "99999999999,n,8,2";
    QTest::newRow("three fields") << "9600,n,8";
    QTest::newRow("five fields") << "9600,n,8,2,1";
    QTest::newRow("trailing comma") << "9600,n,8,2,";
    QTest::newRow("blank in rate") << "9600 ,n,8,2";
    QTest::newRow("blank before parity") << "9600, n,8,2";
    QTest::newRow("trailing blank") << "9600,n,8,2 ";
    QTest::newRow("full-width digit") << "9600,n,８,2";
    QTest::newRow("semicolons") << "9600;n;8;2";
    QTest::newRow("abc") << "abc";
    QTest::newRow("empty") << "";
}

void TestPreparation::settingsRejected() {
    QFETCH(QString, text);
    QVERIFY(!parse_settings(text));
}

// A rejected settings text ends the preparation at that step, with a reason:
// nothing from before is dropped and no threshold is set.
void TestPreparation::rejectedSettingsStopPreparation() {
    FakeSerialPort port;
    leaveStale(port);
    QVERIFY(!test_preparation(port, "COM4", "9600,x,8,2", "RTS=0"));
    QCOMPARE(port.openedOn, QStringLiteral("/dev/fake4"));
    QCOMPARE(port.settingsInEffect, QString());
    QCOMPARE(port.unsent, QByteArray("stale out"));
    QCOMPARE(port.controls().sThreshold, -1);
    QCOMPARE(port.lastError().kind, PortError::Settings);
    QCOMPARE(port.lastError().port, 4);

    // Closed, the AT preparation does not open with settings it cannot take.
    port.setPortOpen(false);
    QVERIFY(!at_preparation(port, "9600,n,9,2"));
    QVERIFY(!port.portOpen());
    QCOMPARE(port.opens, 1);
    QCOMPARE(port.unread(), QByteArray("stale in"));

    // Opening that fails stops before the settings.
    port.failNextOpen(PortError::Busy, "Device or resource busy");
    QVERIFY(!test_preparation(port, "COM5", "9600,n,8,2", "RTS=0"));
    QVERIFY(!port.portOpen());
    QCOMPARE(port.settingsInEffect, QString());
    QCOMPARE(port.controls().sThreshold, -1);
    QCOMPARE(port.lastError().kind, PortError::Busy);
    QCOMPARE(port.lastError().port, 5);
    // Nothing of all this reached the line.
    QVERIFY(port.line.isEmpty());
}

void TestPreparation::keepOrReopen_data() {
    QTest::addColumn<bool>("run"); // the probe's run; the console otherwise
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second"); // port text, settings and signal, space-separated
    QTest::addColumn<bool>("broken");    // the port closed by itself in between
    // What the second preparation came to: a new port object, openings of the
    // port, and whether it set the settings again.
    QTest::addColumn<bool>("newPort");
    QTest::addColumn<int>("opens");
    QTest::addColumn<bool>("setAgain");
    const QString dev = QStringLiteral("COM1 9600,n,8,2 RTS=0");
    const QString net = QStringLiteral("socket://127.0.0.1:4001 9600,n,8,2 RTS=0");
    struct Row {
        const char *name;
        bool run;
        QString first, second;
        bool broken;
        bool newPort;
        int opens;
        bool setAgain;
    };
    const Row rows[] = {
        {"console, device, unchanged: reopened", false, dev, dev, false, false, 2, true},
        {"console, device, settings changed", false, dev, "COM1 4800,e,8,1 RTS=0", false, false, 2,
         true},
        {"console, device, other COM", false, dev, "COM2 9600,n,8,2 RTS=0", false, true, 1, true},
        {"console, device, its own path", false, dev, "/dev/kc-mapped 9600,n,8,2 RTS=0", false,
         false, 2, true},
        {"console, text of none of the forms: as before", false, dev, "xyz 9600,n,8,2 RTS=0", false,
         false, 2, true},
        {"console, network, unchanged: kept and set again", false, net, net, false, false, 1, true},
        {"console, network, other address", false, net, "socket://127.0.0.1:4002 9600,n,8,2 RTS=0",
         false, true, 1, true},
        {"console, network, connection broken", false, net, net, true, false, 2, true},
        {"console, network to device", false, net, dev, false, true, 1, true},
        {"run, device, unchanged: kept", true, dev, dev, false, false, 1, false},
        {"run, device, settings changed", true, dev, "COM1 4800,e,8,1 RTS=0", false, false, 1,
         true},
        {"run, device, signal changed", true, dev, "COM1 9600,n,8,2 DTR=1", false, false, 1, true},
        {"run, device, broken", true, dev, dev, true, false, 2, true},
        {"run, device, other COM", true, dev, "COM2 9600,n,8,2 RTS=0", false, true, 1, true},
        {"run, network, unchanged: kept", true, net, net, false, false, 1, false},
        {"run, network, broken", true, net, net, true, false, 2, true},
    };
    for (const Row &r : rows)
        QTest::newRow(r.name) << r.run << r.first << r.second << r.broken << r.newPort << r.opens
                              << r.setAgain;
}

void TestPreparation::keepOrReopen() {
    QFETCH(bool, run);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, broken);
    PortMap map;
    map.map(1, QStringLiteral("/dev/kc-mapped"));
    QList<FakeSerialPort *> made;
    PortSession session(map, [&made](const PortAddress &) {
        auto port = std::make_unique<FakeSerialPort>();
        made << port.get();
        return port;
    });
    const KeepPolicy policy = run ? KeepPolicy::Run : KeepPolicy::Console;
    const auto prepare = [&](const QString &request) {
        const QStringList p = request.split(QLatin1Char(' '));
        return session.prepare(p[0], p[1], p[2], policy);
    };
    QVERIFY(prepare(first));
    if (broken) made.last()->breakDown(QStringLiteral("gone"));
    const FakeSerialPort *before = made.last();
    const qsizetype madeBefore = made.size();
    const qsizetype settingsBefore =
        before->log.count(QStringLiteral("settings ") + second.section(QLatin1Char(' '), 1, 1));
    QVERIFY(prepare(second));
    QFETCH(bool, newPort);
    QFETCH(int, opens);
    QFETCH(bool, setAgain);
    QCOMPARE(made.size() > madeBefore, newPort);
    QCOMPARE(&session.port(), made.last());
    QCOMPARE(made.last()->opens, opens);
    const qsizetype settingsAfter = made.last()->log.count(QStringLiteral("settings ") +
                                                           second.section(QLatin1Char(' '), 1, 1));
    QCOMPARE(settingsAfter > (made.last() == before ? settingsBefore : 0), setAgain);
    // Whatever was kept, nothing of the last exchange is read for the next.
    QCOMPARE(made.last()->log.last(), QStringLiteral("discard in"));
    QVERIFY(made.last()->portOpen());
    if (newPort) QVERIFY(!before->portOpen());
}

QTEST_GUILESS_MAIN(TestPreparation)
#include "tst_preparation.moc"
