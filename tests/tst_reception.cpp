// Reception, the sum check and the ruler through the real window, with the
// recording port standing in for the line.
#include "fakeserialport.h"
#include "form1.h"

#include <QtTest>

namespace {

const QString kStx = QStringLiteral("\u27e8STX\u27e9");
const QString kDc4 = QStringLiteral("\u27e8DC4\u27e9");
const QString kEtb = QStringLiteral("\u27e8ETB\u27e9");
const QString kAck = QStringLiteral("\u27e8ACK\u27e9");
const QString kNak = QStringLiteral("\u27e8NAK\u27e9");
const QString kBlock = QStringLiteral("\u2588");

struct Console {
    FakeSerialPort port;
    Form1 w{&port};
    explicit Console(const QString &model = QStringLiteral("PM-01")) {
        w.Combo4->setEditText(model);
        w.cmdtest_Click(); // the wait runs: Timer1 started, recbuf empty
    }
    QString rec() const { return w.rec->text(); }
};

// The worked reply: STX 0010123.4 00443 ETB (16 bytes, sum 443).
const QByteArray kReply = QByteArray("\x02"
                                     "0010123.4"
                                     "00443"
                                     "\x17");
const QString kReplyShown = QStringLiteral("\u27e8STX\u27e90010123.400443\u27e8ETB\u27e9");

} // namespace

class TestReception : public QObject {
    Q_OBJECT
private slots:
    void verdicts_data();
    void verdicts();
    void splitAtEveryPointGivesSameResult();
    void checkRunsOnlyOnBatchWithEtb();
    void startMarkerFollowsModelAtCheckTime();
    void ackAndNakRepeatAtEveryEvent();
    void emptyBatchStillReportsAckNak();
    void ignoredEventCodesChangeNothing_data();
    void ignoredEventCodesChangeNothing();
    void timeoutWithoutReply();
    void replyBetweenThirdAndFourthTick();
    void lateReplyAfterTimeout();
    void receivedTextIsNeverMarkup();
    void testEmptiesRecbufButKeepsRec();
};

void TestReception::verdicts_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<QByteArray>("batch");
    QTest::addColumn<QString>("shown"); // rec after the batch

    QTest::newRow("worked example OK") << "PM-01" << kReply << kReplyShown + "OK SUM=00443\n";
    QTest::newRow("one digit off: ERR with computed sum")
        << "PM-01"
        << QByteArray("\x02"
                      "0010123.5"
                      "00443"
                      "\x17")
        << QStringLiteral("\u27e8STX\u27e90010123.500443\u27e8ETB\u27e9ERR SUM=00444\n");
    QTest::newRow("LNKCTRL sums from DC4")
        << "LNKCTRL"
        << QByteArray("\x14"
                      "01"
                      "\x02"
                      "0010123.4"
                      "00560"
                      "\x17")
        << kDc4 + "01" + kStx + "0010123.400560" + kEtb + "OK SUM=00560\n";
    QTest::newRow("LNKCTRL reply without DC4: no verdict") << "LNKCTRL" << kReply << kReplyShown;
    QTest::newRow("instrument model, no STX: no verdict")
        << "PM-01"
        << QByteArray("x0010123.4"
                      "00443"
                      "\x17")
        << QStringLiteral("x0010123.400443\u27e8ETB\u27e9");
    QTest::newRow("ETB at position 10: no verdict") << "PM-01"
                                                    << QByteArray("\x02"
                                                                  "00101234"
                                                                  "\x17")
                                                    << kStx + "00101234" + kEtb;
    QTest::newRow("ETB at position 11 sums positions 1 to 5")
        << "PM-01"
        << QByteArray("\x02"
                      "0000"
                      "00194"
                      "\x17")
        << kStx + "000000194" + kEtb + "OK SUM=00194\n";
    QTest::newRow("noise before the marker is not summed")
        << "PM-01" << QByteArray("ab") + kReply << "ab" + kReplyShown + "OK SUM=00443\n";
    QTest::newRow("STX in the noise becomes the marker")
        << "PM-01"
        << QByteArray("\x02"
                      "a") +
               kReply
        << kStx + "a" + kReplyShown + "ERR SUM=00542\n";
    QTest::newRow("non-digit in sum field reads as 0")
        << "PM-01"
        << QByteArray("\x02"
                      "0010123.4"
                      " 0443"
                      "\x17")
        << QStringLiteral("\u27e8STX\u27e90010123.4 0443\u27e8ETB\u27e9OK SUM= 0443\n");
    QTest::newRow("marker after e-6 gives computed sum 0")
        << "PM-01"
        << QByteArray("0123456789"
                      "\x02"
                      "0001"
                      "\x17")
        << "0123456789" + kStx + "0001" + kEtb + "ERR SUM=00000\n";
    QTest::newRow("six-digit sum: first character after 9")
        << "PM-01"
        << QByteArray("\x02") + QByteArray(1000, 'z') +
               "00000"
               "\x17"
        << kStx + QString(1000, 'z') + "00000" + kEtb + "ERR SUM=<2002\n";
    QTest::newRow("sum of 800000 or more: plain decimal digits")
        << "PM-01"
        << QByteArray("\x02") + QByteArray(7000, 'z') +
               "00000"
               "\x17"
        << kStx + QString(7000, 'z') + "00000" + kEtb + "ERR SUM=854002\n";
    QTest::newRow("ACK alone") << "PM-01" << QByteArray("\x06") << kAck + "ACK\n";
    QTest::newRow("NAK alone") << "PM-01" << QByteArray("\x15") << kNak + "NAK\n";
    QTest::newRow("reply and ACK: verdict first, then ACK")
        << "PM-01" << kReply + "\x06" << kReplyShown + kAck + "OK SUM=00443\nACK\n";
}

void TestReception::verdicts() {
    QFETCH(QString, model);
    QFETCH(QByteArray, batch);
    QFETCH(QString, shown);
    Console c(model);
    QVERIFY(c.w.Timer1.isActive());
    c.port.receive(batch);
    if (batch.size() < 30) {
        QCOMPARE(c.rec(), shown);
    } else {
        // Long runs are broken into lines where the window wraps them.
        QCOMPARE(c.rec().remove('\n'), QString(shown).remove('\n'));
        QVERIFY(c.rec().endsWith('\n'));
    }
    QCOMPARE(c.w.transaction().recbuf().text(), batch);
    // Every one of these ends the wait, verdict or not.
    QVERIFY(!c.w.Timer1.isActive());
}

void TestReception::splitAtEveryPointGivesSameResult() {
    const QString expected = kReplyShown + "OK SUM=00443\n";
    for (int a = 0; a <= kReply.size(); ++a) {
        for (int b = a; b <= kReply.size(); ++b) {
            Console c;
            c.port.receive(kReply.left(a));
            c.port.receive(kReply.mid(a, b - a));
            QVERIFY2(c.w.Timer1.isActive() == (b < kReply.size()),
                     qPrintable(QString("%1 %2").arg(a).arg(b)));
            c.port.receive(kReply.mid(b));
            QCOMPARE(c.rec(), expected);
            QVERIFY(!c.w.Timer1.isActive());
        }
    }
}

void TestReception::checkRunsOnlyOnBatchWithEtb() {
    Console c;
    c.port.receive(kReply);
    c.port.receive("tail"); // no ETB: no second check
    QCOMPARE(c.rec(), kReplyShown + "OK SUM=00443\ntail");
    c.port.receive("\x17"); // another ETB: the first frame is judged again
    QCOMPARE(c.rec(), kReplyShown + "OK SUM=00443\ntail" + kEtb + "OK SUM=00443\n");
}

void TestReception::startMarkerFollowsModelAtCheckTime() {
    Console c(QStringLiteral("PM-01"));
    c.w.Combo4->setEditText("LNKCTRL"); // changed after the request went out
    c.port.receive(QByteArray("\x14"
                              "01"
                              "\x02"
                              "0010123.4"
                              "00560"
                              "\x17"));
    QVERIFY(c.rec().endsWith("OK SUM=00560\n"));
}

void TestReception::ackAndNakRepeatAtEveryEvent() {
    Console c;
    c.port.receive("\x06"
                   "\x15");
    QCOMPARE(c.rec(), kAck + kNak + "ACK\nNAK\n");
    c.port.receive("x");
    QCOMPARE(c.rec(), kAck + kNak + "ACK\nNAK\nxACK\nNAK\n");
}

void TestReception::emptyBatchStillReportsAckNak() {
    Console c;
    c.port.receive(QByteArray());
    QCOMPARE(c.rec(), QString());
    QVERIFY(c.w.Timer1.isActive());
    c.port.receive("\x06");
    c.port.receive(QByteArray());
    QCOMPARE(c.rec(), kAck + "ACK\nACK\n");
}

void TestReception::ignoredEventCodesChangeNothing_data() {
    QTest::addColumn<int>("code");
    for (int code : {0, 3, 4, 5, 6, 7, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010,
                     1011, 99, -1})
        QTest::addRow("code %d", code) << code;
}

void TestReception::ignoredEventCodesChangeNothing() {
    QFETCH(int, code);
    Console c;
    c.port.receive("\x02"
                   "0");
    const QStringList log = c.port.log;
    c.port.receive(QByteArray()); // nothing pending now
    const QString before = c.rec();
    c.port.receive("");
    c.port.deliver(code);
    QCOMPARE(c.rec(), before);
    QCOMPARE(c.w.transaction().recbuf().text(), QByteArray("\x02"
                                                           "0"));
    QVERIFY(c.w.Timer1.isActive());
    QCOMPARE(c.port.log, log); // no line driven, nothing read from the port state
}

void TestReception::timeoutWithoutReply() {
    Console c;
    QTRY_VERIFY_WITH_TIMEOUT(!c.w.Timer1.isActive(), 2000);
    QCOMPARE(c.w.Text1->text(), kBlock.repeated(24));
    QCOMPARE(c.rec(), QStringLiteral("\n")); // exactly one CR LF
    QCOMPARE(c.w.transaction().progress(), quint8(200));
    // TEST is accepted again, and the ruler restarts at one block.
    const int writes = c.port.writes.size();
    c.w.cmdtest_Click();
    QCOMPARE(c.port.writes.size(), writes + 1);
    c.w.Timer1_Timer();
    QCOMPARE(c.w.Text1->text(), kBlock);
}

void TestReception::replyBetweenThirdAndFourthTick() {
    Console c;
    c.w.Timer1.stop(); // drive the ticks by hand
    c.w.Timer1.start();
    for (int i = 0; i < 3; ++i)
        c.w.Timer1_Timer();
    c.port.receive(kReply);
    QVERIFY(!c.w.Timer1.isActive());
    QTest::qWait(100); // no further tick
    QCOMPARE(c.w.Text1->text(), kBlock.repeated(3));
    QCOMPARE(c.rec(), kReplyShown + "OK SUM=00443\n");
}

void TestReception::lateReplyAfterTimeout() {
    Console c;
    for (int i = 0; i < 25; ++i)
        c.w.Timer1_Timer();
    QVERIFY(!c.w.Timer1.isActive());
    QCOMPARE(c.w.Text1->text(), kBlock.repeated(24));
    c.port.receive(kReply);
    QCOMPARE(c.rec(), "\n" + kReplyShown + "OK SUM=00443\n");
}

void TestReception::receivedTextIsNeverMarkup() {
    Console c;
    c.port.receive("<b>x</b>&amp;<br>");
    QCOMPARE(c.rec(), QStringLiteral("<b>x</b>&amp;<br>"));
}

void TestReception::testEmptiesRecbufButKeepsRec() {
    Console c;
    c.port.receive(kReply);
    c.port.receive("late");
    c.w.cmdtest_Click();
    QCOMPARE(c.w.transaction().recbuf().text(), QByteArray());
    QCOMPARE(c.w.transaction().progress(), quint8(0));
    QVERIFY(c.rec().startsWith(kReplyShown + "OK SUM=00443\nlate"));
    // The new transaction judges only what came after it.
    c.port.receive(QByteArray("\x02"
                              "0010123.5"
                              "00444"
                              "\x17"));
    QVERIFY(c.rec().endsWith("OK SUM=00444\n"));
}

QTEST_MAIN(TestReception)
#include "tst_reception.moc"
