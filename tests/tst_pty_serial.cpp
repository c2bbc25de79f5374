// The console over a real pseudo-terminal with the QSerialPort implementation.
#include "form1.h"
#include "ptyutil.h"
#include "qtserialport.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/ioctl.h>

namespace {

// Run by the timing test in a child with the line shim preloaded: one default
// TEST at 1200 baud on the given device, then time for its release.
int run_timing_probe(int argc, char **argv) {
    QApplication app(argc, argv);
    PortMap map;
    map.map(1, qEnvironmentVariable("KC_TIMING_PROBE"));
    QtSerialPort port(map);
    Form1 w(&port);
    w.Combo2->setEditText(QStringLiteral("1200,n,8,2"));
    w.cmdtest->click();
    // A plain event loop: QTest::qWait sleeps between its rounds.
    QEventLoop loop;
    QTimer::singleShot(400, &loop, &QEventLoop::quit);
    loop.exec();
    return w.lastMessage().isEmpty() ? 0 : 3;
}

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
    void releaseAfterTheLastBit();
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
    // A pseudo-terminal keeps 8 data bits without parity; it has no wire to
    // garble, so what the box says goes out all the same.
    QTest::newRow("9600 even 7 1, RTS=0") << "9600,e,7,1"
                                          << "RTS=0";
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
    // COM2 names a device that is not there yet, as an adapter not plugged in.
    QTemporaryDir dir;
    const QString device = dir.filePath(QStringLiteral("ttyKC-later"));
    PortMap map;
    map.map(2, device);
    QtSerialPort port(map);
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

// At 1200 baud, 8N2, the 11 characters of the default frame take 100.8 ms on
// the wire: the RTS release must not come before, nor more than 25 ms after.
// Timed on the system calls themselves in a child with the shim preloaded.
void TestPtySerial::releaseAfterTheLastBit() {
    Pty pty;
    QVERIFY(pty.ok());
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("lines.log"));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KC_TIMING_PROBE"), pty.slavePath());
    env.insert(QStringLiteral("KC_LINE_LOG"), logPath);
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(KC_LINE_SHIM));
    // The shim comes ahead of a sanitizer's runtime in a sanitizer build.
    env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) +
                                                   QStringLiteral(":verify_asan_link_order=0"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(30000));
    const QByteArray childErr = child.readAllStandardError();
    QVERIFY2(child.exitCode() == 0, childErr.constData());
    QCOMPARE(pty.read(11), QByteArray::fromHex("1430311130303130310303"));

    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QList<LineEvent> events;
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 4)
            events.append({f[0], f[1].toInt(), f[2].toLongLong(), f[3].toLongLong()});
    }
    // The raise (RTS off), the frame in one write, the release (RTS on).
    qsizetype w = -1;
    for (qsizetype i = 0; i < events.size(); ++i)
        if (events[i].what == "write" && events[i].value == 11) w = i;
    QVERIFY2(w > 0, log.fileName().toLocal8Bit());
    const LineEvent &write = events[w];
    const LineEvent &raise = events[w - 1];
    QCOMPARE(raise.what, QByteArray("bic"));
    QCOMPARE(raise.fd, write.fd);
    QCOMPARE(raise.value, qint64(TIOCM_RTS));
    qsizetype r = w + 1;
    while (r < events.size() && events[r].what == "write")
        ++r;
    QVERIFY2(r < events.size(), "no release after the write");
    const LineEvent &release = events[r];
    QCOMPARE(release.what, QByteArray("bis"));
    QCOMPARE(release.fd, write.fd);
    QCOMPARE(release.value, qint64(TIOCM_RTS));
    const double wireMs = 11 * 11 * 1000.0 / 1200;
    const double afterMs = double(release.ns - write.ns) / 1e6;
    qInfo("release %.2f ms after the write; the frame needs %.2f ms on the wire", afterMs, wireMs);
    QVERIFY2(afterMs >= wireMs, qPrintable(QString::number(afterMs)));
    QVERIFY2(afterMs <= wireMs + 25, qPrintable(QString::number(afterMs)));
}

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsSet("KC_TIMING_PROBE")) return run_timing_probe(argc, argv);
    QApplication app(argc, argv);
    TestPtySerial t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_pty_serial.moc"
