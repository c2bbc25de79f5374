// The console over a real pseudo-terminal with the QSerialPort implementation.
#include "childconsole.h"
#include "form1.h"
#include "ptyutil.h"
#include "qtserialport.h"
#include "simprocess.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/ioctl.h>

namespace {

// A UART driver played over a pseudo-terminal: its RS-485 mode and its RTS
// line as the console leaves them. The line is also set from the release thread.
class Rs485Driver : public DeviceAnswers {
public:
    bool hasMode = true;
    mutable std::atomic<bool> mode{false};
    mutable std::atomic<int> rts{-1}; // never set
    std::optional<bool> rs485(int) const override {
        if (hasMode) return mode.load();
        errno = ENOTTY;
        return std::nullopt;
    }
    Rs485Set setRs485(int, bool on) const override {
        if (hasMode) mode = on;
        errno = ENOTTY;
        return hasMode ? Rs485Set::Held : Rs485Set::Refused;
    }
    bool setModemLine(int, LineLevel l) const override {
        if (l.line == LineLevel::Rts) rts = l.on;
        return true;
    }
};

struct LineEvent {
    QByteArray what;
    int fd;
    qint64 value;
    qint64 ns;
};

} // namespace

class TestPtySerial : public QObject {
    Q_OBJECT
private slots:
    void defaultTestDeliversElevenBytes();
    void writeFrameWithSettingsAndSignalRows_data();
    void writeFrameWithSettingsAndSignalRows();
    void missingDeviceLeavesProgramRunning();
    void releaseAfterTheLastBit_data();
    void releaseAfterTheLastBit();
    void rs485Mode_data();
    void rs485Mode();
    void rs485ReadBack_data();
    void rs485ReadBack();
};

void TestPtySerial::defaultTestDeliversElevenBytes() {
    Pty pty;
    QVERIFY(pty.ok());
    QtSerialPort port(decoy_map(1, pty.slavePath()));
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
    // A pseudo-terminal keeps 8 data bits without parity; it has no wire to
    // garble, so what the box says goes out all the same.
    QTest::newRow("9600 even 7 1, RTS=0") << "9600,e,7,1"
                                          << "RTS=0";
}

void TestPtySerial::writeFrameWithSettingsAndSignalRows() {
    QFETCH(QString, settings);
    QFETCH(QString, signal);
    Pty pty;
    QtSerialPort port(decoy_map(3, pty.slavePath()));
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
    // COM2 names a device that is not there yet, as an adapter not plugged in.
    QTemporaryDir dir;
    const QString device = dir.filePath(QStringLiteral("ttyKC-later"));
    QtSerialPort port(decoy_map(2, device));
    Form1 w(&port);
    w.Combo1->setEditText("COM2");
    w.cmdtest->click();
    QVERIFY(w.lastMessage().contains("COM2"));
    QVERIFY(w.lastMessage().contains(device));
    QVERIFY(w.messageBox() && w.messageBox()->isVisible());
    QVERIFY(!w.Timer1.isActive());
    QCOMPARE(w.trs->text(), QString());
    // The same window tries again at the next TEST and succeeds once the device exists.
    Pty pty;
    QVERIFY(QFile::link(pty.slavePath(), device));
    w.cmdtest->click();
    QCOMPARE(pty.read(11), QByteArray::fromHex("1430311130303130310303"));
    QVERIFY(w.Timer1.isActive());
}

void TestPtySerial::releaseAfterTheLastBit_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<bool>("at");
    QTest::addColumn<int>("busyMs"); // the window's event loop blocked after the click
    QTest::addColumn<double>("wireMs");
    // 11 characters of 11 bits; an AT line "ATH0" CR LF, 6 of them.
    QTest::newRow("TEST 1200 8N2") << "1200,n,8,2" << false << 0 << 11 * 11 * 1000.0 / 1200;
    QTest::newRow("TEST 9600 8N2, window busy")
        << "9600,n,8,2" << false << 100 << 11 * 11 * 1000.0 / 9600;
    QTest::newRow("AT 9600 8N2, window busy")
        << "9600,n,8,2" << true << 100 << 6 * 11 * 1000.0 / 9600;
}

// The RTS release must not come before the last bit, nor more than 25 ms
// after it, however long the window is busy. Timed on the system calls
// themselves in a child with the shim preloaded.
void TestPtySerial::releaseAfterTheLastBit() {
    QFETCH(QString, settings);
    QFETCH(bool, at);
    QFETCH(int, busyMs);
    QFETCH(double, wireMs);
    Pty pty;
    QVERIFY(pty.ok());
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("lines.log"));
    QProcess child;
    QProcessEnvironment env = line_shim_environment();
    env.insert(QStringLiteral("KC_LINE_LOG"), logPath);
    // One press, the window then kept busy for a while, then time for its release.
    start_child_console(child,
                        {.device = pty.slavePath(),
                         .boxes = {"Combo2=" + settings, QStringLiteral("Combo11=ATH0")},
                         .at = at,
                         .busyMs = busyMs,
                         .settleMs = 400,
                         .strict = true},
                        env);
    QVERIFY(child.waitForFinished(30000));
    const QByteArray childErr = child.readAllStandardError();
    QVERIFY2(child.exitCode() == 0, childErr.constData());
    const QByteArray wire =
        at ? QByteArray("ATH0\r\n") : QByteArray::fromHex("1430311130303130310303");
    QCOMPARE(pty.read(wire.size()), wire);

    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QList<LineEvent> events;
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 4)
            events.append({f[0], f[1].toInt(), f[2].toLongLong(), f[3].toLongLong()});
    }
    // The raise (RTS off; none before an AT line), the frame in one write, the
    // release (RTS on).
    qsizetype w = -1;
    for (qsizetype i = 0; i < events.size(); ++i)
        if (events[i].what == "write" && events[i].value == wire.size()) w = i;
    QVERIFY2(w >= 0, log.fileName().toLocal8Bit());
    const LineEvent &write = events[w];
    if (!at) {
        QVERIFY(w > 0);
        const LineEvent &raise = events[w - 1];
        QCOMPARE(raise.what, QByteArray("bic"));
        QCOMPARE(raise.fd, write.fd);
        QCOMPARE(raise.value, qint64(TIOCM_RTS));
    }
    qsizetype r = w + 1;
    while (r < events.size() && events[r].what == "write")
        ++r;
    QVERIFY2(r < events.size(), "no release after the write");
    const LineEvent &release = events[r];
    QCOMPARE(release.what, QByteArray("bis"));
    QCOMPARE(release.fd, write.fd);
    QCOMPARE(release.value, qint64(TIOCM_RTS));
    const double afterMs = double(release.ns - write.ns) / 1e6;
    qInfo("release %.2f ms after the write; the frame needs %.2f ms on the wire", afterMs, wireMs);
    QVERIFY2(afterMs >= wireMs, qPrintable(QString::number(afterMs)));
    QVERIFY2(afterMs <= wireMs + 25, qPrintable(QString::number(afterMs)));
}

void TestPtySerial::rs485Mode_data() {
    QTest::addColumn<bool>("hasMode");
    QTest::addColumn<bool>("onSinceBoot");
    QTest::addColumn<QStringList>("choices"); // one TEST each
    QTest::addColumn<int>("sent");            // TESTs whose frame went out
    QTest::addColumn<bool>("modeAfter");
    QTest::addColumn<int>("rtsAfter"); // -1: never driven
    QTest::addColumn<QString>("told"); // part of the one message, empty: none
    QTest::newRow("the driver switches")
        << true << false << QStringList{"RS485"} << 1 << true << -1 << "";
    QTest::newRow("no RS-485 mode: nothing sent")
        << false << false << QStringList{"RS485"} << 0 << false << -1 << "“RTS=0”或“RTS=1”";
    QTest::newRow("another row turns ours off")
        << true << false << QStringList{"RS485", "RTS=0"} << 2 << false << 1 << "";
    QTest::newRow("on since boot: told once, left on")
        << true << true << QStringList{"RTS=0", "RTS=0"} << 2 << true << 1 << "RS-485 模式";
    QTest::newRow("on since boot, RS485")
        << true << true << QStringList{"RS485"} << 1 << true << -1 << "";
}

void TestPtySerial::rs485Mode() {
    QFETCH(bool, hasMode);
    QFETCH(bool, onSinceBoot);
    QFETCH(QStringList, choices);
    QFETCH(int, sent);
    QFETCH(bool, modeAfter);
    QFETCH(int, rtsAfter);
    QFETCH(QString, told);
    Pty pty;
    auto owned = std::make_unique<Rs485Driver>();
    Rs485Driver &driver = *owned;
    driver.hasMode = hasMode;
    driver.mode = onSinceBoot;
    QtSerialPort port(decoy_map(1, pty.slavePath()), std::move(owned));
    Form1 w(&port);
    QSignalSpy comm(&port, &SerialPort::comm);
    QSignalSpy faults(&port, &SerialPort::lineFault);
    int rtsAtComm = -2; // the line as code 1 finds it: already released
    connect(&port, &SerialPort::comm, this, [&](int code) {
        if (code == 1) rtsAtComm = driver.rts;
    });
    for (const QString &choice : choices) {
        w.Combo3->setEditText(choice);
        comm.clear();
        w.cmdtest->click();
        if (w.Timer1.isActive()) QTRY_VERIFY(comm.contains(QList<QVariant>{1}));
        w.Timer1.stop(); // the wait cut short
    }
    QCOMPARE(pty.read(11 * sent, 300).size(), 11 * sent);
    QCOMPARE(driver.mode.load(), modeAfter);
    QCOMPARE(driver.rts.load(), rtsAfter);
    QCOMPARE(rtsAtComm, sent ? rtsAfter : -2);
    QCOMPARE(w.lastMessage().isEmpty(), told.isEmpty());
    QVERIFY(faults.size() <= 1);
    if (told.isEmpty()) return;
    QVERIFY2(w.lastMessage().contains(told), qPrintable(w.lastMessage()));
    QVERIFY(w.lastMessage().contains(pty.slavePath()));
}

void TestPtySerial::rs485ReadBack_data() {
    QTest::addColumn<QString>("driver"); // the shim's KC_FAKE_RS485
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QString>("told"); // part of the message, empty: none
    QTest::newRow("held") << "accept" << true << "";
    QTest::newRow("RTS on send dropped: nothing sent")
        << "no-rts-on-send" << false << u"读回时没有保持“发送时 RTS 有效”"_qs;
    QTest::newRow("refused: nothing sent") << "refuse" << false << u"不支持 RS-485 模式"_qs;
}

// The driver's mode as read back after it was set, with the real answers
// from the system: here the shim's, on a pseudo-terminal.
void TestPtySerial::rs485ReadBack() {
    QFETCH(QString, driver);
    QFETCH(bool, sent);
    QFETCH(QString, told);
    Pty pty;
    QVERIFY(pty.ok());
    QProcess child;
    QProcessEnvironment env = line_shim_environment();
    env.insert(QStringLiteral("KC_FAKE_RS485"), driver);
    start_child_console(child, {.device = pty.slavePath(), .boxes = {"Combo3=RS485"}}, env);
    QVERIFY(child.waitForFinished(30000));
    QVERIFY2(child.exitCode() == 0, child.readAllStandardError().constData());
    const QString out = QString::fromUtf8(child.readAllStandardOutput());
    QVERIFY2(out.contains(QStringLiteral("waiting=%1\n").arg(int(sent))), qPrintable(out));
    QCOMPARE(pty.read(11, sent ? 2000 : 300),
             sent ? QByteArray::fromHex("1430311130303130310303") : QByteArray());
    QCOMPARE(out.endsWith(QStringLiteral("message=\n")), told.isEmpty());
    QVERIFY2(out.contains(told) && out.contains(pty.slavePath()) == !told.isEmpty(),
             qPrintable(out));
}

int main(int argc, char **argv) {
    if (const auto rc = child_console(argc, argv)) return *rc;
    QApplication app(argc, argv);
    TestPtySerial t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_pty_serial.moc"
