// Port preparation, direction control and the line settings text, against the
// recording port.
#include "fakeserialport.h"
#include "portmap.h"
#include "preparation.h"
#include "settings.h"

#include "frametable.h"

#include <QtTest>

namespace {

// What both preparations do after opening, in this order.
const QStringList kBuffers{"discard out",  "discard in",   "inlen 0",
                           "sthreshold 5", "rthreshold 1", "inputmode 0"};

void openQuietly(FakeSerialPort &port, int number) {
    port.setPortNumber(number);
    port.setPortOpen(true);
    port.log.clear();
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
};

void TestPreparation::testPreparationOrder_data() {
    QTest::addColumn<bool>("wasOpen");
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<int>("number");

    QTest::newRow("closed, defaults")
        << false << "COM1"
        << "9600,n,8,2" << QStringList{"port 1", "open", "settings 9600,n,8,2"} + kBuffers << 1;
    QTest::newRow("open, defaults")
        << true << "COM1"
        << "9600,n,8,2" << QStringList{"close", "port 1", "open", "settings 9600,n,8,2"} + kBuffers
        << 1;
    QTest::newRow("open, COM16 at 56000")
        << true << "COM16"
        << "56000,n,8,2"
        << QStringList{"close", "port 16", "open", "settings 56000,n,8,2"} + kBuffers << 16;
    // No port step at all: the port is reopened on the number it had (3).
    QTest::newRow("open, unmatched port text")
        << true << "com1"
        << "1200,n,8,2" << QStringList{"close", "open", "settings 1200,n,8,2"} + kBuffers << 3;
    QTest::newRow("closed, unmatched port text")
        << false << "COM17"
        << "9600,n,8,2" << QStringList{"open", "settings 9600,n,8,2"} + kBuffers << 3;
}

void TestPreparation::testPreparationOrder() {
    QFETCH(bool, wasOpen);
    QFETCH(QString, portText);
    QFETCH(QString, settings);
    QFETCH(QStringList, log);
    QFETCH(int, number);

    FakeSerialPort port;
    port.setPortNumber(3);
    if (wasOpen) port.setPortOpen(true);
    port.log.clear();
    QVERIFY(test_preparation(port, portText, settings, "RTS=0"));
    QCOMPARE(port.log, log);
    QVERIFY(port.portOpen());
    QCOMPARE(port.portNumber(), number);
}

void TestPreparation::testPreparationTwiceReopens() {
    FakeSerialPort port;
    QVERIFY(test_preparation(port, "COM2", "9600,n,8,2", "RTS=0"));
    port.log.clear();
    QVERIFY(test_preparation(port, "COM2", "9600,n,8,2", "RTS=0"));
    QCOMPARE(port.log.mid(0, 3), (QStringList{"close", "port 2", "open"}));
}

void TestPreparation::atPreparationOrder_data() {
    QTest::addColumn<bool>("wasOpen");
    QTest::addColumn<QStringList>("log");
    QTest::newRow("closed: settings, then open")
        << false << QStringList{"settings 4800,e,7,1", "open"} + kBuffers;
    // An open port keeps its number and settings.
    QTest::newRow("open: neither") << true << kBuffers;
}

void TestPreparation::atPreparationOrder() {
    QFETCH(bool, wasOpen);
    QFETCH(QStringList, log);
    FakeSerialPort port;
    port.setPortNumber(7);
    if (wasOpen) port.setPortOpen(true);
    port.log.clear();
    QVERIFY(at_preparation(port, "4800,e,7,1"));
    QCOMPARE(port.log, log);
    QVERIFY(port.portOpen());
    QCOMPARE(port.portNumber(), 7);
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

void TestPreparation::portTexts() {
    QFETCH(QString, text);
    QFETCH(int, number);
    QCOMPARE(port_number_of(text), number);

    FakeSerialPort port;
    openQuietly(port, 9);
    QVERIFY(test_preparation(port, text, "9600,n,8,2", "RTS=0"));
    QCOMPARE(port.portNumber(), number ? number : 9);
    const QStringList portSteps = port.log.filter(QRegularExpression("^port "));
    QCOMPARE(portSteps,
             number ? QStringList{QStringLiteral("port %1").arg(number)} : QStringList());
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

void TestPreparation::direction() {
    QFETCH(QString, signal);
    QFETCH(QString, atRaise);
    QFETCH(QString, atRelease);
    const QStringList none;

    FakeSerialPort port;
    raise(port, signal);
    QCOMPARE(port.log, atRaise.isEmpty() ? none : QStringList{atRaise});
    port.log.clear();
    release(port, signal);
    QCOMPARE(port.log, atRelease.isEmpty() ? none : QStringList{atRelease});
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

        port.log.clear();
        raise(port, "MODEM");
        release(port, "MODEM");
        QCOMPARE(port.rts, other);
        QCOMPARE(port.log, (QStringList{"dtr 1", "dtr 1"}));
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

// A rejected settings text ends the preparation at that step, with a reason.
void TestPreparation::rejectedSettingsStopPreparation() {
    FakeSerialPort port;
    QVERIFY(!test_preparation(port, "COM4", "9600,x,8,2", "RTS=0"));
    QCOMPARE(port.log, (QStringList{"port 4", "open", "settings 9600,x,8,2"}));
    QCOMPARE(port.lastError().kind, PortError::Settings);
    QCOMPARE(port.lastError().port, 4);

    port.log.clear();
    port.setPortOpen(false);
    port.log.clear();
    QVERIFY(!at_preparation(port, "9600,n,9,2"));
    QCOMPARE(port.log, QStringList{"settings 9600,n,9,2"});
    QVERIFY(!port.portOpen());

    // Opening that fails stops before the settings.
    port.log.clear();
    port.failNextOpen(PortError::Busy, "Device or resource busy");
    QVERIFY(!test_preparation(port, "COM5", "9600,n,8,2", "RTS=0"));
    QCOMPARE(port.log, (QStringList{"port 5", "open failed"}));
    QCOMPARE(port.lastError().kind, PortError::Busy);
    QCOMPARE(port.lastError().port, 5);
}

QTEST_GUILESS_MAIN(TestPreparation)
#include "tst_preparation.moc"
