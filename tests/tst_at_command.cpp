// The AT command sender, EXIT and the contact links.
#include "fakeserialport.h"
#include "form1.h"

#include <QDesktopServices>
#include <QtTest>

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

class TestAtCommand : public QObject {
    Q_OBJECT
private slots:
    void commandLineGoesOutInOneWrite_data();
    void commandLineGoesOutInOneWrite();
    void beforeAnyTestOpensComponentsPortNumber();
    void afterTestUsesOpenPortWhateverTheBoxesSay();
    void releaseFollowsAlthoughNoRaise();
    void worksDuringAWaitWithoutTouchingIt();
    void nonAsciiIsRefused();
    void openFailureShowsMessage();
    void linksOpenTheirAddressesAndChangeNothing();
    void exitDuringAWaitEndsTheEventLoop();
};

void TestAtCommand::commandLineGoesOutInOneWrite_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QString>("shown");
    QTest::newRow("hang up") << "+++ATH0" << QByteArray("+++ATH0\r\n") << "+++ATH0\n";
    QTest::newRow("empty box") << "" << QByteArray("\r\n") << "\n";
    QTest::newRow("typed, spaces kept") << " at&v " << QByteArray(" at&v \r\n") << " at&v \n";
    QTest::newRow("dial row") << "+++ATDT5550123" << QByteArray("+++ATDT5550123\r\n")
                              << "+++ATDT5550123\n";
}

void TestAtCommand::commandLineGoesOutInOneWrite() {
    QFETCH(QString, command);
    QFETCH(QByteArray, written);
    QFETCH(QString, shown);
    FakeSerialPort port;
    Form1 w(&port);
    w.Combo11->setEditText(command);
    w.Command1->click();
    QCOMPARE(port.writes, QList<QByteArray>{written});
    QCOMPARE(w.trs->text(), shown);
    QVERIFY(w.lastMessage().isEmpty());
}

void TestAtCommand::beforeAnyTestOpensComponentsPortNumber() {
    FakeSerialPort port;
    Form1 w(&port);
    w.Combo1->setEditText("COM5");
    w.Combo2->setEditText("2400,n,8,2");
    w.Combo11->setEditText("+++AT&F");
    port.unsent = "stale out";
    port.queueInput("stale in");
    w.Command1_Click();
    // The component's own number, the box's settings, the line levels untouched.
    QCOMPARE(port.line, (QList<FakeSerialPort::LineWrite>{
                            {"+++AT&F\r\n", "/dev/fake1", "2400,n,8,2", false, false}}));
    QCOMPARE(port.unsent, QByteArray());
    QCOMPARE(port.unread(), QByteArray());
    QCOMPARE(port.controls().inputLength, 0);
    QCOMPARE(port.controls().sThreshold, 5);
    QCOMPARE(port.controls().rThreshold, 1);
    QCOMPARE(port.controls().inputMode, 0);
    QCOMPARE(port.portNumber(), 1);
    QVERIFY(!w.Timer1.isActive());
}

void TestAtCommand::afterTestUsesOpenPortWhateverTheBoxesSay() {
    FakeSerialPort port;
    Form1 w(&port);
    w.Combo1->setEditText("COM2");
    w.cmdtest_Click();
    w.Timer1.stop();
    w.Combo1->setEditText("COM9");
    w.Combo2->setEditText("1200,n,8,2");
    w.Combo11->setEditText("+++ATH0");
    port.unsent = "stale out";
    port.queueInput("stale in");
    const bool rts = port.rts, dtr = port.dtr;
    w.Command1_Click();
    // Not reopened: COM2's device and the TEST's settings.
    QCOMPARE(port.opens, 1);
    QCOMPARE(port.line.last(),
             (FakeSerialPort::LineWrite{"+++ATH0\r\n", "/dev/fake2", "9600,n,8,2", rts, dtr}));
    QCOMPARE(port.unsent, QByteArray());
    QCOMPARE(port.unread(), QByteArray());
    QCOMPARE(port.controls().sThreshold, 5);
    QCOMPARE(port.portNumber(), 2);
}

void TestAtCommand::releaseFollowsAlthoughNoRaise() {
    FakeSerialPort port;
    Form1 w(&port);
    w.Combo3->setEditText("DTR=1");
    w.Command1_Click();
    QCOMPARE(port.line.size(), 1);
    QVERIFY(!port.line.last().dtr); // no raise before the AT line
    port.dtr = true;
    port.deliver(1);
    QVERIFY(!port.dtr);
}

void TestAtCommand::worksDuringAWaitWithoutTouchingIt() {
    FakeSerialPort port;
    Form1 w(&port);
    w.cmdtest_Click();
    port.receive("\x02"
                 "00");
    w.Timer1_Timer();
    const quint8 progress = w.transaction().progress();
    w.Combo11->setEditText("+++ATH0");
    w.Command1_Click();
    QCOMPARE(port.writes.size(), 2);
    QCOMPARE(port.writes.last(), QByteArray("+++ATH0\r\n"));
    QVERIFY(w.Timer1.isActive());
    QCOMPARE(w.transaction().progress(), progress);
    QCOMPARE(w.transaction().recbuf().text(), QByteArray("\x02"
                                                         "00"));
    // The modem's answer joins recbuf like any batch.
    port.receive("OK\r\n");
    QCOMPARE(w.transaction().recbuf().text(), QByteArray("\x02"
                                                         "00OK\r\n"));
    QVERIFY(w.rec->text().endsWith("OK\n"));
}

void TestAtCommand::nonAsciiIsRefused() {
    FakeSerialPort port;
    Form1 w(&port);
    w.Combo11->setEditText(QStringLiteral("+++ATDT５５５"));
    w.Command1_Click();
    QVERIFY(port.line.isEmpty());
    QCOMPARE(port.opens, 0);
    QCOMPARE(port.settingsInEffect, QString());
    QCOMPARE(w.trs->text(), QString());
    QVERIFY(w.lastMessage().contains(QStringLiteral("+++ATDT５５５")));
    QVERIFY(w.lastMessage().contains("ASCII"));
}

void TestAtCommand::openFailureShowsMessage() {
    FakeSerialPort port;
    Form1 w(&port);
    port.failNextOpen(PortError::Busy, "Device or resource busy");
    w.Command1_Click();
    QVERIFY(port.writes.isEmpty());
    QVERIFY(w.lastMessage().contains("COM1"));
    QVERIFY(w.lastMessage().contains(QStringLiteral("占用")));
    QCOMPARE(w.trs->text(), QString());
    w.Command1_Click(); // the next press tries again
    QCOMPARE(port.writes.size(), 1);
}

void TestAtCommand::linksOpenTheirAddressesAndChangeNothing() {
    FakeSerialPort port;
    Form1 w(&port);
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("http", &catcher, "open");
    QDesktopServices::setUrlHandler("mailto", &catcher, "open");
    const QString combos = w.selection().model + w.selection().port;
    QTest::mouseClick(w.Label14, Qt::LeftButton);
    QTest::mouseClick(w.Label15, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler("http");
    QDesktopServices::unsetUrlHandler("mailto");
    QCOMPARE(catcher.urls,
             (QList<QUrl>{QUrl("http://kestrova.example"), QUrl("mailto:info@kestrova.example")}));
    // The captions are the addresses the links open.
    QCOMPARE(w.Label14->text(), catcher.urls[0].toString());
    QCOMPARE("mailto:" + w.Label15->text(), catcher.urls[1].toString());
    QCOMPARE(w.Label14->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(w.Label15->cursor().shape(), Qt::PointingHandCursor);
    QVERIFY(port.line.isEmpty());
    QCOMPARE(port.opens, 0);
    QCOMPARE(w.selection().model + w.selection().port, combos);
    QCOMPARE(w.trs->text() + w.rec->text(), QString());
}

void TestAtCommand::exitDuringAWaitEndsTheEventLoop() {
    FakeSerialPort port;
    Form1 w(&port);
    w.cmdtest_Click();
    QVERIFY(w.Timer1.isActive());
    QTimer::singleShot(30, &w, [&] { w.cmdexit->click(); });
    QTimer::singleShot(3000, [] { QCoreApplication::exit(7); }); // guard: exit must come first
    QCOMPARE(QCoreApplication::exec(), 0);
    const QString ruler = w.Text1->text();
    const QString rec = w.rec->text();
    port.receive("\x06"); // nothing is handled any more
    QTest::qWait(50);
    QCOMPARE(w.Text1->text(), ruler);
    QCOMPARE(w.rec->text(), rec);
}

QTEST_MAIN(TestAtCommand)
#include "tst_at_command.moc"
