// The TEST button of the real window over the recording port.
#include "display.h"
#include "fakeserialport.h"
#include "form1.h"

#include "frametable.h"
#include <QMessageBox>

#include <QtTest>

namespace {

using LineWrite = FakeSerialPort::LineWrite;

// "rts 0" of the direction rows: the level of each line once it is driven.
void drive(bool &rts, bool &dtr, const QString &entry) {
    if (entry.startsWith(QLatin1String("rts"))) rts = entry.endsWith(u'1');
    if (entry.startsWith(QLatin1String("dtr"))) dtr = entry.endsWith(u'1');
}

// How the send window's text reads a frame line: codes below 32 as their
// names in angle brackets, the closing CR LF as a line break.
QString shownLine(const QByteArray &frame) {
    return readable(frame) + QLatin1Char('\n');
}

// One frame line of the send window, without the breaks the window may add
// where a long line would wrap anyway: a frame holds no LF of its own.
QString unwrappedLine(const QString &shown) {
    if (!shown.endsWith(QLatin1Char('\n'))) return QStringLiteral("(no line end) ") + shown;
    return QString(shown).remove(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace

class TestTransaction : public QObject {
    Q_OBJECT
private slots:
    void frames_data();
    void frames();
    void directionAroundTheWrite_data();
    void directionAroundTheWrite();
    void releaseKeepsTheRaisedLine();
    void unmatchedPortKeepsNumber_data();
    void unmatchedPortKeepsNumber();
    void testDuringWaitDoesNothing();
    void refusedFrameTouchesNothing_data();
    void refusedFrameTouchesNothing();
    void openFailure_data();
    void openFailure();
    void rejectedSettings();
    void recbufAndProgressReset();
};

void TestTransaction::frames_data() {
    addDefaultFrameRows();
    // A function typed by hand: an empty line or the prefix alone, and one ETX.
    QTest::newRow("unmatched function, LNKCTRL") << "LNKCTRL"
                                                 << "DC1" << hex("14 30 31") << hex("14 30 31 03");
    QTest::newRow("unmatched function, PM-01") << "PM-01"
                                               << "DC1" << QByteArray() << hex("03");
}

void TestTransaction::frames() {
    QFETCH(QString, model);
    QFETCH(QString, function);
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, wire);

    FakeSerialPort port;
    Form1 w(&port);
    w.Combo4->setEditText(model);
    w.Combo5->setEditText(function);
    w.cmdtest->click();

    QCOMPARE(w.lastMessage(), QString());
    // One write, on COM1's device with the default settings, RTS at its send level.
    QCOMPARE(port.line, (QList<LineWrite>{{wire, "/dev/fake1", "9600,n,8,2", false, false}}));
    QCOMPARE(port.writes.size(), 1);
    QCOMPARE(port.writes.first().toHex(' '), wire.toHex(' '));
    QCOMPARE(port.controls().sThreshold, 5);
    QCOMPARE(port.controls().rThreshold, 1);
    QCOMPARE(w.transaction().sendbuf().toHex(' '), frame.toHex(' '));
    QCOMPARE(unwrappedLine(w.trs->text()), shownLine(frame));
    QVERIFY(w.Timer1.isActive());
    QCOMPARE(w.rec->text(), QString());

    port.deliver(1);
    QVERIFY(port.rts);
}

void TestTransaction::directionAroundTheWrite_data() {
    addDirectionRows();
}

void TestTransaction::directionAroundTheWrite() {
    QFETCH(QString, signal);
    QFETCH(QString, atRaise);
    QFETCH(QString, atRelease);

    FakeSerialPort port;
    Form1 w(&port);
    w.Combo3->setEditText(signal);
    w.cmdtest->click();
    // The level at the write is the raise's; a line not named keeps its own.
    bool rts = false, dtr = false;
    drive(rts, dtr, atRaise);
    QCOMPARE(port.line, (QList<LineWrite>{{hex("14 30 31 11 30 30 31 30 31 03 03"), "/dev/fake1",
                                           "9600,n,8,2", rts, dtr}}));

    // Other event codes never release; code 1 does, each time it comes.
    for (int code : {2, 3, 7, 1001, 1011, 0})
        port.deliver(code);
    QCOMPARE(port.rts, rts);
    QCOMPARE(port.dtr, dtr);
    for (int again = 0; again < 2; ++again) {
        port.rts = rts;
        port.dtr = dtr;
        bool releasedRts = rts, releasedDtr = dtr;
        drive(releasedRts, releasedDtr, atRelease);
        port.deliver(1);
        QCOMPARE(port.rts, releasedRts);
        QCOMPARE(port.dtr, releasedDtr);
    }
    QCOMPARE(port.line.size(), 1);
}

// The release goes to the line and level the raise named: the port sets it
// the moment the frame has left, before a changed box could be read.
void TestTransaction::releaseKeepsTheRaisedLine() {
    FakeSerialPort port;
    Form1 w(&port);
    port.dtr = true;
    w.cmdtest->click();
    QCOMPARE(port.line.size(), 1);
    QVERIFY(!port.line.last().rts);
    w.Combo3->setEditText("DTR=1");
    port.deliver(1);
    QVERIFY(port.rts);
    QVERIFY(port.dtr); // DTR keeps its level: only the raised line is driven
}

void TestTransaction::unmatchedPortKeepsNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("lower case") << "com1";
    QTest::newRow("trailing space") << "COM1 ";
    QTest::newRow("above 16") << "COM17";
    QTest::newRow("leading zero") << "COM01";
}

void TestTransaction::unmatchedPortKeepsNumber() {
    QFETCH(QString, text);
    FakeSerialPort port;
    Form1 w(&port);
    w.Combo1->setEditText("COM5");
    w.cmdtest->click();
    QCOMPARE(port.portNumber(), 5);
    w.Timer1.stop();

    w.Combo1->setEditText(text);
    w.cmdtest->click();
    QCOMPARE(port.portNumber(), 5);
    QCOMPARE(port.opens, 2); // reopened, on the same device
    QCOMPARE(port.line.size(), 2);
    QCOMPARE(port.line.last(), (LineWrite{hex("14 30 31 11 30 30 31 30 31 03 03"), "/dev/fake5",
                                          "9600,n,8,2", false, false}));
    QCOMPARE(w.lastMessage(), QString());
}

void TestTransaction::testDuringWaitDoesNothing() {
    FakeSerialPort port;
    Form1 w(&port);
    w.cmdtest->click();
    QVERIFY(w.Timer1.isActive());
    const QList<LineWrite> line = port.line;
    const QString trs = w.trs->text();

    // Changed selections are not applied either: nothing runs at all.
    w.Combo1->setEditText("COM2");
    w.Combo4->setEditText("PM-01");
    w.cmdtest->click();
    w.cmdtest->click();
    QCOMPARE(port.line, line);
    QCOMPARE(port.opens, 1);
    QCOMPARE(port.portNumber(), 1);
    QCOMPARE(port.writes.size(), 1);
    QCOMPARE(w.trs->text(), trs);
    QCOMPARE(w.lastMessage(), QString());

    // The time-out ends the wait; the next press runs with the new selections.
    QTRY_VERIFY_WITH_TIMEOUT(!w.Timer1.isActive(), 5000);
    w.cmdtest->click();
    QCOMPARE(port.writes.size(), 2);
    QCOMPARE(port.writes.last(), hex("11 30 30 31 30 31 03 03"));
    QCOMPARE(port.portNumber(), 2);
    QCOMPARE(w.trs->text(), trs + shownLine(hex("11 30 30 31 30 31 03")));
}

void TestTransaction::refusedFrameTouchesNothing_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("function");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("caption"); // how the message names the box
    QTest::newRow("address 8000") << "Combo6" << kRead << "8000"
                                  << "仪表地址";
    QTest::newRow("address -4801") << "Combo6" << kRead << "-4801"
                                   << "仪表地址";
    QTest::newRow("address 1e999") << "Combo6" << kRead << "1e999"
                                   << "仪表地址";
    QTest::newRow("channel 800") << "Combo7" << kRead << "800"
                                 << "仪表通道";
    QTest::newRow("parameter -481") << "Combo8" << kReadPar << "-481"
                                    << "参 数 号";
    QTest::newRow("concentrator 800") << "Combo10" << kRead << "800"
                                      << "LNK 地址";
    QTest::newRow("value not ASCII") << "Combo9" << kWrite << QStringLiteral("1.5℃") << "参 数 值";
    QTest::newRow("value sum too large") << "Combo9" << kWrite << QString(20000, 'z') << "参 数 值";
}

void TestTransaction::refusedFrameTouchesNothing() {
    QFETCH(QString, box);
    QFETCH(QString, function);
    QFETCH(QString, text);
    QFETCH(QString, caption);

    FakeSerialPort port;
    Form1 w(&port);
    // One good TEST first: the refused one must leave the open port alone.
    w.cmdtest->click();
    port.deliver(1);
    for (int i = 0; i < 5; ++i)
        w.Timer1_Timer();
    w.Timer1.stop();
    port.receive("late");
    port.line.clear();
    port.writes.clear();
    const bool rts = port.rts, dtr = port.dtr;
    const QString trs = w.trs->text();
    const QByteArray sendbuf = w.transaction().sendbuf();

    w.Combo5->setEditText(function);
    w.findChild<QComboBox *>(box)->setEditText(text);
    w.cmdtest->click();

    QVERIFY(port.line.isEmpty());
    QCOMPARE(port.opens, 1);
    QCOMPARE(port.rts, rts);
    QCOMPARE(port.dtr, dtr);
    QVERIFY(port.portOpen());
    QCOMPARE(w.trs->text(), trs);
    QVERIFY(!w.Timer1.isActive());
    QCOMPARE(w.transaction().recbuf().text(), QByteArray("late"));
    QCOMPARE(w.transaction().progress(), quint8(40));
    QCOMPARE(w.transaction().sendbuf(), sendbuf);
    QVERIFY2(w.lastMessage().contains("“" + caption + "”"), qPrintable(w.lastMessage()));
    QVERIFY2(!w.lastMessage().contains("Combo"), qPrintable(w.lastMessage()));
    QVERIFY2(w.lastMessage().contains(text.left(60)), qPrintable(w.lastMessage()));
    QVERIFY(w.messageBox() && w.messageBox()->isVisible());
    QCOMPARE(w.messageBox()->text(), w.lastMessage());
}

void TestTransaction::openFailure_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("hint"); // what the message must also say
    QTest::newRow("not found") << int(PortError::NotFound) << "No such file or directory"
                               << "--com";
    QTest::newRow("permission") << int(PortError::Permission) << "Permission denied"
                                << "dialout";
    QTest::newRow("busy") << int(PortError::Busy) << "Device or resource busy"
                          << QStringLiteral("占用");
}

void TestTransaction::openFailure() {
    QFETCH(int, kind);
    QFETCH(QString, reason);
    QFETCH(QString, hint);

    FakeSerialPort port;
    Form1 w(&port);
    w.Combo1->setEditText("COM3");
    port.failNextOpen(PortError::Kind(kind), reason);
    w.cmdtest->click();

    const QString msg = w.lastMessage();
    QVERIFY2(msg.contains("COM3"), qPrintable(msg));
    QVERIFY2(msg.contains("/dev/fake3"), qPrintable(msg));
    QVERIFY2(msg.contains(reason), qPrintable(msg));
    QVERIFY2(msg.contains(hint), qPrintable(msg));
    if (kind != PortError::Permission) QVERIFY(!msg.contains("dialout"));
    QVERIFY(w.messageBox() && w.messageBox()->isVisible());
    QVERIFY(w.messageBox()->windowModality() == Qt::NonModal);
    QVERIFY(port.writes.isEmpty());
    QVERIFY(!port.portOpen());
    QCOMPARE(port.opens, 0);
    QCOMPARE(w.trs->text(), QString());
    QVERIFY(!w.Timer1.isActive());
    QCOMPARE(w.Combo1->currentText(), QStringLiteral("COM3"));

    // The next TEST tries again.
    w.cmdtest->click();
    QCOMPARE(port.line, (QList<LineWrite>{{hex("14 30 31 11 30 30 31 30 31 03 03"), "/dev/fake3",
                                           "9600,n,8,2", false, false}}));
    QCOMPARE(port.writes, QList<QByteArray>{hex("14 30 31 11 30 30 31 30 31 03 03")});
    QVERIFY(w.Timer1.isActive());
}

void TestTransaction::rejectedSettings() {
    FakeSerialPort port;
    Form1 w(&port);
    w.Combo2->setEditText("9600,x,8,2");
    w.cmdtest->click();
    QVERIFY2(w.lastMessage().contains("COM1"), qPrintable(w.lastMessage()));
    QVERIFY2(w.lastMessage().contains("9600,x,8,2"), qPrintable(w.lastMessage()));
    QVERIFY(port.writes.isEmpty());
    QCOMPARE(w.trs->text(), QString());
    QVERIFY(!w.Timer1.isActive());

    w.Combo2->setEditText("9600,n,8,2");
    w.cmdtest->click();
    QCOMPARE(port.writes.size(), 1);
    QVERIFY(w.Timer1.isActive());
}

void TestTransaction::recbufAndProgressReset() {
    FakeSerialPort port;
    Form1 w(&port);
    port.receive("late reply");
    QCOMPARE(w.transaction().recbuf().text(), QByteArray("late reply"));
    for (int i = 0; i < 3; ++i)
        w.Timer1_Timer();
    QCOMPARE(w.transaction().progress(), quint8(24));

    w.cmdtest->click();
    QCOMPARE(w.transaction().recbuf().text(), QByteArray());
    QCOMPARE(w.transaction().progress(), quint8(0));
    // The receive window keeps its earlier text.
    QCOMPARE(w.rec->text(), QStringLiteral("late reply"));
}

QTEST_MAIN(TestTransaction)
#include "tst_transaction.moc"
