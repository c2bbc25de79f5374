// The console over a real pseudo-terminal with the QSerialPort implementation.
#include "form1.h"
#include "ptyutil.h"
#include "qtserialport.h"

#include <QMessageBox>
#include <QtTest>

class TestPtySerial : public QObject {
    Q_OBJECT
private slots:
    void defaultTestDeliversElevenBytes();
    void writeFrameWithSettingsAndSignalRows_data();
    void writeFrameWithSettingsAndSignalRows();
    void missingDeviceLeavesProgramRunning();
};

void TestPtySerial::defaultTestDeliversElevenBytes() {
    Pty pty;
    QVERIFY(pty.ok());
    PortMap map;
    map.map(1, pty.slavePath());
    QtSerialPort port(map);
    Form1 w(&port);
    QSignalSpy comm(&port, &SerialPort::comm);
    w.cmdtest->click();
    QCOMPARE(pty.read(11), QByteArray::fromHex("1430311130303130310303"));
    // The send event follows the write, and the wait runs.
    QTRY_VERIFY(comm.contains(QList<QVariant>{1}));
    QVERIFY(w.Timer1.isActive());
    QVERIFY(w.lastMessage().isEmpty());
}

void TestPtySerial::writeFrameWithSettingsAndSignalRows_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("signal");
    QTest::newRow("56000 custom rate, RTS=1") << "56000,n,8,2"
                                              << "RTS=1";
    QTest::newRow("1200 even 7 1, DTR=0") << "1200,E,7,1"
                                          << "DTR=0";
    QTest::newRow("38400 odd 5 1.5, MODEM") << "38400,o,5,1.5"
                                            << "MODEM";
    QTest::newRow("unmatched signal") << "19200,n,8,2"
                                      << "rts=0";
}

void TestPtySerial::writeFrameWithSettingsAndSignalRows() {
    QFETCH(QString, settings);
    QFETCH(QString, signal);
    Pty pty;
    PortMap map;
    map.map(3, pty.slavePath());
    QtSerialPort port(map);
    Form1 w(&port);
    w.Combo1->setEditText("COM3");
    w.Combo2->setEditText(settings);
    w.Combo3->setEditText(signal);
    w.Combo4->setEditText("PM-01");
    w.Combo5->setEditText(QStringLiteral("写参数(DC3)"));
    w.cmdtest->click();
    QVERIFY2(w.lastMessage().isEmpty(), qPrintable(w.lastMessage()));
    QCOMPARE(pty.read(24).toHex(' '),
             QByteArray("13 30 30 31 30 31 1f 30 31 1f 30 30 30 30 2e 30 1f 30 30 37 33 37 03 03"));
}

void TestPtySerial::missingDeviceLeavesProgramRunning() {
    PortMap map;
    map.map(2, "/nonexistent/kestrova-tty");
    QtSerialPort port(map);
    Form1 w(&port);
    w.Combo1->setEditText("COM2");
    w.cmdtest->click();
    QVERIFY(w.lastMessage().contains("COM2"));
    QVERIFY(w.lastMessage().contains("/nonexistent/kestrova-tty"));
    QVERIFY(w.messageBox() && w.messageBox()->isVisible());
    QVERIFY(!w.Timer1.isActive());
    QCOMPARE(w.trs->text(), QString());
    // The next TEST tries again and succeeds once the device exists.
    Pty pty;
    map.map(2, pty.slavePath());
    QtSerialPort port2(map);
    Form1 w2(&port2);
    w2.Combo1->setEditText("COM2");
    w2.cmdtest->click();
    QCOMPARE(pty.read(11).size(), 11);
}

QTEST_MAIN(TestPtySerial)
#include "tst_pty_serial.moc"
