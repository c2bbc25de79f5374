// Faults of the serial port, with the real QSerialPort implementation over
// pseudo-terminals and real paths: a device that goes away in the middle of a
// session, and devices that are missing, busy, forbidden or refuse settings.
#include "childconsole.h"
#include "form1.h"
#include "portsession.h"
#include "ptyutil.h"
#include "qtserialport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>
#include <chrono>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

const QString kBlocks24 = QString(24, QChar(0x2588));

// CPU time (user + system) this process has used, in milliseconds.
qint64 cpu_ms() {
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    return qint64(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 +
           (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
}

// A stable name for a device that comes and goes: a symbolic link that the test
// points at a fresh pseudo-terminal, as udev would at a re-plugged adapter.
class DeviceLink {
public:
    DeviceLink() : path_(dir_.filePath(QStringLiteral("ttyKC0"))) {}
    QString path() const { return path_; }
    bool pointAt(const QString &target) {
        QFile::remove(path_);
        return QFile::link(target, path_);
    }
    void remove() { QFile::remove(path_); }

private:
    QTemporaryDir dir_;
    QString path_;
};

// A serial device that is not at hand, played over a pseudo-terminal: the
// system's answers about it are given, the bytes still go to the pty.
class PlayedDevice : public DeviceAnswers {
public:
    std::optional<TermiosAnswer> keeps; // its line settings; the pty's own if unset
    QList<PresentDevice> present;
    bool pseudoTerminal(int) const override { return false; }
    std::optional<TermiosAnswer> lineSettings(int fd) const override {
        return keeps ? keeps : DeviceAnswers::lineSettings(fd);
    }
    QList<PresentDevice> presentDevices() const override { return present; }
};

} // namespace

class TestPortFaults : public QObject {
    Q_OBJECT
private slots:
    void deviceGoesAway_data();
    void deviceGoesAway();
    void openFailures_data();
    void openFailures();
    void permissionDenied();
    void busyPort_data();
    void busyPort();
    void rejectedSettings_data();
    void rejectedSettings();
    void settingsNotHeld_data();
    void settingsNotHeld();
    void lineFaultToldOnce_data();
    void lineFaultToldOnce();
    void missingDeviceNamesThoseThatExist();
    void reopenedPortOutlivesStaleClose();
    void staleReleaseIgnored();
    void typedPathIsUsed_data();
    void typedPathIsUsed();
    void unusableAddressSendsNothing_data();
    void unusableAddressSendsNothing();
};

void TestPortFaults::deviceGoesAway_data() {
    QTest::addColumn<bool>("slaveHeld");
    QTest::addColumn<bool>("duringWait");
    // Pulled out: nothing else holds the device. Hung up: another holder keeps
    // the slave side, the kernel hangs it up all the same.
    QTest::newRow("pulled out while a reply is awaited") << false << true;
    QTest::newRow("hung up while a reply is awaited") << true << true;
    QTest::newRow("pulled out between transactions") << false << false;
}

void TestPortFaults::deviceGoesAway() {
    QFETCH(bool, slaveHeld);
    QFETCH(bool, duringWait);
    auto pty = std::make_unique<Pty>();
    QVERIFY(pty->ok());
    if (!slaveHeld) pty->releaseSlave();
    DeviceLink link;
    QVERIFY(link.pointAt(pty->slavePath()));
    QtSerialPort port(decoy_map(1, link.path()));
    Form1 w(&port);
    w.Combo4->setEditText(QStringLiteral("PM-01"));

    w.cmdtest->click();
    QVERIFY2(w.lastMessage().isEmpty(), qPrintable(w.lastMessage()));
    QCOMPARE(pty->read(8), QByteArray::fromHex("1130303130310303"));
    if (duringWait) {
        // Part of a reply arrives, then the device vanishes before the ETB.
        pty->write(QByteArray("\x02"
                              "0010123"));
        QTRY_COMPARE(w.rec->text(), QString("\u27e8STX\u27e9"
                                            "0010123"));
        QVERIFY(w.Timer1.isActive());
    } else {
        pty->write(QByteArray("\x02"
                              "0010123.4"
                              "00443"
                              "\x17"));
        QTRY_VERIFY(w.rec->text().endsWith("OK SUM=00443\n"));
        QVERIFY(!w.Timer1.isActive());
    }
    const QString recBefore = w.rec->text();
    const QString trsBefore = w.trs->text();

    auto *device = port.findChild<QSerialPort *>();
    QVERIFY(device);
    int errors = 0;
    connect(device, &QSerialPort::errorOccurred, this, [&errors] { ++errors; });
    QSignalSpy comm(&port, &SerialPort::comm);
    QSignalSpy failed(&port, &SerialPort::failed);
    const qint64 cpuBefore = cpu_ms();
    QElapsedTimer wall;
    wall.start();
    pty.reset(); // the device goes away
    QTest::qWait(500);
    const qint64 cpuUsed = cpu_ms() - cpuBefore;
    const qint64 elapsed = wall.elapsed();
    qInfo("after the hang-up: %d error signals, %lld comm events, %lld ms CPU in %lld ms", errors,
          qlonglong(comm.size()), qlonglong(cpuUsed), qlonglong(elapsed));

    // Closed at the first error: a handful of signals, not a storm.
    QCOMPARE(failed.size(), 1);
    QVERIFY2(errors <= 5, qPrintable(QString::number(errors)));
    QVERIFY2(comm.size() <= 2, qPrintable(QString::number(comm.size())));
    QVERIFY2(cpuUsed < elapsed / 2, qPrintable(QStringLiteral("%1 ms CPU").arg(cpuUsed)));
    QVERIFY(!port.portOpen());

    // Told once, without blocking, naming the port and why.
    QVERIFY(w.messageBox() && w.messageBox()->isVisible());
    QVERIFY(!w.messageBox()->isModal());
    const PortError e = failed.first().first().value<PortError>();
    QCOMPARE(e.kind, PortError::HungUp);
    QCOMPARE(e.port, 1);
    QCOMPARE(e.device, link.path());
    QVERIFY(w.lastMessage().contains(QStringLiteral("COM1")));
    QVERIFY(w.lastMessage().contains(link.path()));
    QVERIFY(w.lastMessage().contains(QStringLiteral("已断开")));
    QVERIFY2(w.lastMessage().contains(QStringLiteral("挂断")), qPrintable(w.lastMessage()));

    // Both windows keep their text; the wait, if any, runs into its time-out.
    QTRY_VERIFY(!w.Timer1.isActive());
    QCOMPARE(w.trs->text(), trsBefore);
    if (duringWait) {
        QCOMPARE(w.Text1->text(), kBlocks24);
        QCOMPARE(w.rec->text(), recBefore + "\n");
    } else {
        QCOMPARE(w.rec->text(), recBefore);
    }

    // While the device is missing TEST says so; once it is back TEST reopens it.
    const QString recAtTimeout = w.rec->text();
    link.remove();
    w.cmdtest->click();
    QCOMPARE(port.lastError().kind, PortError::NotFound);
    QVERIFY(w.lastMessage().contains(QStringLiteral("设备不存在")));
    QVERIFY(!w.Timer1.isActive());

    Pty back;
    QVERIFY(back.ok());
    QVERIFY(link.pointAt(back.slavePath()));
    const QString messageBefore = w.lastMessage();
    w.cmdtest->click();
    QVERIFY(port.portOpen());
    QCOMPARE(back.read(8), QByteArray::fromHex("1130303130310303"));
    back.write(QByteArray("\x02"
                          "0010123.4"
                          "00443"
                          "\x17"));
    QTRY_COMPARE(w.rec->text(),
                 recAtTimeout + QString("\u27e8STX\u27e9"
                                        "0010123.400443\u27e8ETB\u27e9OK SUM=00443\n"));
    QCOMPARE(w.lastMessage(), messageBefore);
    QCOMPARE(failed.size(), 1);
}

void TestPortFaults::openFailures_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("says");
    QTest::newRow("no such file") << "/dev/ttyKC-missing" << int(PortError::NotFound)
                                  << "设备不存在";
    QTest::newRow("no such directory")
        << "/nonexistent/dir/ttyS0" << int(PortError::NotFound) << "设备不存在";
    QTest::newRow("not a terminal") << "/dev/null" << int(PortError::NotSerial) << "不是串口设备";
    QTest::newRow("a directory") << "/tmp" << int(PortError::NotSerial) << "不是串口设备";
    QTest::newRow("a plain file") << QCoreApplication::applicationDirPath() + "/CTestTestfile.cmake"
                                  << int(PortError::NotSerial) << "不是串口设备";
}

void TestPortFaults::openFailures() {
    QFETCH(QString, device);
    QFETCH(int, kind);
    QFETCH(QString, says);
    QtSerialPort port(decoy_map(7, device));
    Form1 w(&port);
    w.Combo1->setEditText(QStringLiteral("COM7"));
    w.cmdtest->click();
    QCOMPARE(int(port.lastError().kind), kind);
    QVERIFY(!port.lastError().reason.isEmpty());
    QVERIFY(!port.portOpen());
    QVERIFY2(w.lastMessage().contains(says), qPrintable(w.lastMessage()));
    QVERIFY(w.lastMessage().contains(QStringLiteral("COM7（%1）").arg(device)));
    QVERIFY(w.messageBox() && w.messageBox()->isVisible() && !w.messageBox()->isModal());
    // Nothing shown, nothing awaited.
    QCOMPARE(w.trs->text(), QString());
    QVERIFY(!w.Timer1.isActive());
    // The window stays usable: the same press again gives the same answer.
    w.cmdtest->click();
    QCOMPARE(int(port.lastError().kind), kind);
}

void TestPortFaults::permissionDenied() {
    Pty pty;
    QVERIFY(pty.ok());
    const QByteArray slave = QFile::encodeName(pty.slavePath());
    // Owner root, no access for anyone else. Root itself would still open it,
    // so the press is made by an unprivileged process.
    QVERIFY(::chown(slave.constData(), 0, 0) == 0 || ::geteuid() != 0);
    QVERIFY(::chmod(slave.constData(), ::geteuid() == 0 ? 0600 : 0000) == 0);

    // The press on a device it may not open, and what it got.
    QProcess probe;
    if (!start_child_console(probe,
                             {.device = pty.slavePath(),
                              .com = 4,
                              .boxes = {QStringLiteral("Combo1=COM4")},
                              .unprivileged = true},
                             QProcessEnvironment::systemEnvironment()))
        QSKIP("running as root without setpriv: no way to press TEST as an unprivileged user");
    const QString self = QCoreApplication::applicationFilePath();
    QVERIFY(probe.waitForFinished(60000));
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    const QByteArray err = probe.readAllStandardError();
    if (::geteuid() == 0 && probe.exitCode() == 126)
        QSKIP(qPrintable(QStringLiteral("user nobody cannot run %1: %2")
                             .arg(self, QString::fromLocal8Bit(err))));
    QVERIFY2(probe.exitCode() == 0, err.constData());
    QVERIFY2(!out.contains(QStringLiteral("uid=0\n")), qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("kind=%1\n").arg(int(PortError::Permission))),
             qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("没有访问权限")), qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("COM4（%1）").arg(pty.slavePath())), qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("dialout")), qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("open=0\nsent=0\nwaiting=0\n")), qPrintable(out));
    QCOMPARE(pty.read(1, 200), QByteArray());
}

void TestPortFaults::busyPort_data() {
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("same path") << false;
    // As root the terminal's exclusive mode does not hold; only the lock file
    // does, and it must be the device's own, whatever name it was opened by.
    QTest::newRow("a link to it") << true;
}

void TestPortFaults::busyPort() {
    QFETCH(bool, throughLink);
    Pty pty;
    QVERIFY(pty.ok());
    DeviceLink link;
    QVERIFY(link.pointAt(pty.slavePath()));
    QSerialPort holder;
    holder.setPortName(pty.slavePath());
    QVERIFY(holder.open(QIODevice::ReadWrite));
    const QString path = throughLink ? link.path() : pty.slavePath();

    QtSerialPort port(decoy_map(2, path));
    Form1 w(&port);
    w.Combo1->setEditText(QStringLiteral("COM2"));
    w.cmdtest->click();
    // QSerialPort keeps a lock file per device; a held lock is reported as a
    // permission error, which the console tells apart from a forbidden device.
    qInfo("QSerialPort says: %s", qPrintable(port.lastError().reason));
    QCOMPARE(port.lastError().kind, PortError::Busy);
    QVERIFY2(w.lastMessage().contains(QStringLiteral("占用")), qPrintable(w.lastMessage()));
    QVERIFY(w.lastMessage().contains(QStringLiteral("COM2（%1）").arg(path)));
    QVERIFY(!w.lastMessage().contains(QStringLiteral("权限")));
    QVERIFY(!port.portOpen());
    QVERIFY(!w.Timer1.isActive());
    QCOMPARE(pty.read(1, 200), QByteArray());

    // Released by its holder, the port is ours at the next TEST.
    holder.close();
    w.cmdtest->click();
    QVERIFY(port.portOpen());
    QCOMPARE(pty.read(11), QByteArray::fromHex("1430311130303130310303"));
}

void TestPortFaults::rejectedSettings_data() {
    QTest::addColumn<QString>("settings");
    QTest::newRow("three fields") << "9600,n,8";
    QTest::newRow("five fields") << "9600,n,8,2,1";
    QTest::newRow("empty") << "";
    QTest::newRow("words") << "fast";
    QTest::newRow("parity letter") << "9600,x,8,2";
    QTest::newRow("nine data bits") << "9600,n,9,2";
    QTest::newRow("three stop bits") << "9600,n,8,3";
    QTest::newRow("zero rate") << "0,n,8,2";
    QTest::newRow("negative rate") << "-9600,n,8,2";
    QTest::newRow("hex rate") << "0x2580,n,8,2";
    QTest::newRow("blank inside") << "9600, n,8,2";
    QTest::newRow("full-width comma") << "9600，n,8,2";
    QTest::newRow("rate too long") << "9600000000,n,8,2";
    QTest::newRow("control character") << "9600,n,8,2\x01";
}

void TestPortFaults::rejectedSettings() {
    QFETCH(QString, settings);
    Pty pty;
    QVERIFY(pty.ok());
    QtSerialPort port(decoy_map(1, pty.slavePath()));
    Form1 w(&port);
    w.Combo2->setEditText(settings);
    w.cmdtest->click();
    QCOMPARE(port.lastError().kind, PortError::Settings);
    QVERIFY2(w.lastMessage().contains(QStringLiteral("不接受设置")), qPrintable(w.lastMessage()));
    QVERIFY(w.lastMessage().contains(QStringLiteral("COM1（%1）").arg(pty.slavePath())));
    QVERIFY(w.messageBox()->isVisible());
    QCOMPARE(w.trs->text(), QString());
    QVERIFY(!w.Timer1.isActive());
    QCOMPARE(pty.read(1, 200), QByteArray());

    // Corrected, the next TEST goes out.
    w.Combo2->setEditText(QStringLiteral("9600,n,8,2"));
    w.cmdtest->click();
    QCOMPARE(pty.read(11), QByteArray::fromHex("1430311130303130310303"));
}

void TestPortFaults::settingsNotHeld_data() {
    QTest::addColumn<bool>("atButton");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("TEST") << false << QByteArray::fromHex("1430311130303130310303");
    // The AT sender sets the settings before it opens: checked when they take effect.
    QTest::newRow("AT command") << true << QByteArray("+++ATDT5550123\r\n");
}

// A device that keeps 8 data bits without parity when asked for 7 with even
// parity: the console says what it did not take and sends nothing.
void TestPortFaults::settingsNotHeld() {
    QFETCH(bool, atButton);
    QFETCH(QByteArray, sent);
    Pty pty;
    QVERIFY(pty.ok());
    auto device = std::make_unique<PlayedDevice>();
    device->keeps = TermiosAnswer{9600, CS8 | CREAD | CLOCAL};
    QtSerialPort port(decoy_map(1, pty.slavePath()), std::move(device));
    Form1 w(&port);
    QPushButton *button = atButton ? w.Command1 : w.cmdtest;
    w.Combo2->setEditText(QStringLiteral("9600,e,7,1"));
    button->click();
    QCOMPARE(port.lastError().kind, PortError::SettingsNotHeld);
    const QString msg = w.lastMessage();
    for (const QString &part :
         {QStringLiteral("COM1（%1）").arg(pty.slavePath()), QStringLiteral("9600,e,7,1"),
          QStringLiteral("偶校验"), QStringLiteral("7 位数据位"), QStringLiteral("无校验"),
          QStringLiteral("8 位数据位"), QStringLiteral("9600,n,8,1"), QStringLiteral("未发送")})
        QVERIFY2(msg.contains(part), qPrintable(part + QStringLiteral(" in ") + msg));
    // Only what differs is named.
    QVERIFY2(!msg.contains(QStringLiteral("波特率")) && !msg.contains(QStringLiteral("停止位")),
             qPrintable(msg));
    QVERIFY(w.messageBox()->isVisible() && !w.messageBox()->isModal());
    QVERIFY(!port.portOpen());
    QCOMPARE(w.trs->toPlainText(), QString());
    QVERIFY(!w.Timer1.isActive());
    QCOMPARE(pty.read(1, 200), QByteArray());

    // What the device holds goes out.
    w.Combo2->setEditText(QStringLiteral("9600,n,8,1"));
    button->click();
    QCOMPARE(w.lastMessage(), msg);
    QCOMPARE(pty.read(int(sent.size())), sent);
}

void TestPortFaults::lineFaultToldOnce_data() {
    QTest::addColumn<bool>("serialDevice");
    QTest::newRow("serial device: in the window") << true;
    QTest::newRow("pseudo-terminal: on standard error") << false;
}

// A device that refuses RTS is told once per run, not at every raise and release.
void TestPortFaults::lineFaultToldOnce() {
    QFETCH(bool, serialDevice);
    Pty pty;
    QVERIFY(pty.ok());
    std::unique_ptr<DeviceAnswers> answers =
        serialDevice ? std::make_unique<PlayedDevice>() : std::make_unique<DeviceAnswers>();
    QtSerialPort port(decoy_map(1, pty.slavePath()), std::move(answers));
    Form1 w(&port);
    QSignalSpy faults(&port, &SerialPort::lineFault);
    QSignalSpy comm(&port, &SerialPort::comm);
    // Said whole in Chinese: no English errno text as its reason.
    const QRegularExpression warning(QStringLiteral("是伪终端，没有 RTS 线；照常发送。$"));
    if (!serialDevice) QTest::ignoreMessage(QtWarningMsg, warning);
    for (int round = 0; round < 2; ++round) {
        comm.clear();
        w.cmdtest->click();
        QCOMPARE(pty.read(11).toHex(), QByteArray("1430311130303130310303"));
        QTRY_VERIFY(comm.contains(QList<QVariant>{1})); // raised and released
        QTRY_VERIFY(!w.Timer1.isActive());              // no reply: timed out
        if (!serialDevice) QTest::failOnWarning(warning);
    }
    if (!serialDevice) {
        QCOMPARE(faults.size(), 0);
        QVERIFY(w.lastMessage().isEmpty());
        return;
    }
    QCOMPARE(faults.size(), 1);
    const PortError e = faults.first().first().value<PortError>();
    QCOMPARE(e.kind, PortError::LineRefused);
    QCOMPARE(e.line, QStringLiteral("RTS"));
    QVERIFY(!e.reason.isEmpty());
    const QString msg = w.lastMessage();
    for (const QString &part : {QStringLiteral("COM1（%1）").arg(pty.slavePath()),
                                QStringLiteral("RTS"), e.reason, QStringLiteral("MODEM")})
        QVERIFY2(msg.contains(part), qPrintable(part + QStringLiteral(" in ") + msg));
    QVERIFY(w.messageBox()->isVisible() && !w.messageBox()->isModal());
}

void TestPortFaults::missingDeviceNamesThoseThatExist() {
    auto device = std::make_unique<PlayedDevice>();
    device->present = {{QStringLiteral("/dev/ttyUSB7"), QStringLiteral("USB-Serial Controller")},
                       {QStringLiteral("/dev/ttyS4"), QString()}};
    QtSerialPort port(decoy_map(2, QStringLiteral("/dev/ttyKC-missing")), std::move(device));
    Form1 w(&port);
    w.Combo1->setEditText(QStringLiteral("COM2"));
    w.cmdtest->click();
    QCOMPARE(port.lastError().kind, PortError::NotFound);
    const QString msg = w.lastMessage();
    QVERIFY2(msg.contains(QStringLiteral("/dev/ttyUSB7（USB-Serial Controller）")),
             qPrintable(msg));
    QVERIFY2(msg.contains(QStringLiteral("\n  /dev/ttyS4")), qPrintable(msg));
}

// A read error closes the port later, from the event loop. A TEST that reopens
// the port before that close runs keeps its fresh opening.
void TestPortFaults::reopenedPortOutlivesStaleClose() {
    Pty pty;
    QVERIFY(pty.ok());
    QtSerialPort port(decoy_map(1, pty.slavePath()));
    QSignalSpy failed(&port, &SerialPort::failed);
    QVERIFY(port.setPortOpen(true));
    auto *device = port.findChild<QSerialPort *>();
    QVERIFY(device);
    emit device->errorOccurred(QSerialPort::ReadError);
    QVERIFY(port.setPortOpen(false));
    QVERIFY(port.setPortOpen(true));
    QTest::qWait(50);
    QVERIFY(port.portOpen());
    QCOMPARE(failed.count(), 0);
    port.output("x");
    QCOMPARE(pty.read(1), QByteArray("x"));
}

// The release of a write made before a reopening comes back to the event loop
// after it: it belongs to the old opening and is no send event of the new one.
void TestPortFaults::staleReleaseIgnored() {
    Pty pty;
    QVERIFY(pty.ok());
    QtSerialPort port(decoy_map(1, pty.slavePath()));
    QSignalSpy comm(&port, &SerialPort::comm);
    QVERIFY(port.setPortOpen(true));
    port.output("x");
    // Wire time and margin pass on the line thread; its outcome waits, queued.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    QVERIFY(port.setPortOpen(false));
    QVERIFY(port.setPortOpen(true));
    QTest::qWait(50);
    QCOMPARE(comm.count(), 0);
    port.output("y");
    QTRY_COMPARE(comm.count(), 1);
    QCOMPARE(pty.read(2), QByteArray("xy"));
}

void TestPortFaults::typedPathIsUsed_data() {
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("the device's own path") << false;
    QTest::newRow("a link to it") << true;
}

// A path typed into the port box is the port: never COM1 or the port before.
void TestPortFaults::typedPathIsUsed() {
    QFETCH(bool, throughLink);
    Pty pty;
    QVERIFY(pty.ok());
    DeviceLink link;
    QVERIFY(link.pointAt(pty.slavePath()));
    QtSerialPort port(decoy_map());
    Form1 w(&port);
    decoy_received(); // whatever an earlier test left there
    w.Combo1->setEditText(throughLink ? link.path() : pty.slavePath());
    w.cmdtest->click();
    QVERIFY2(w.lastMessage().isEmpty(), qPrintable(w.lastMessage()));
    QCOMPARE(pty.read(11).toHex(), QByteArray("1430311130303130310303"));
    QCOMPARE(decoy_received(), QByteArray());
}

void TestPortFaults::unusableAddressSendsNothing_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("says"); // empty: the port stays as it was, and the frame goes there
    QTest::newRow("port out of range") << "rfc2217://127.0.0.1:99999"
                                       << "端口号无效";
    QTest::newRow("nothing after the scheme") << "rfc2217://"
                                              << "没有主机名";
    QTest::newRow("a user part") << "rfc2217://user@127.0.0.1:23101"
                                 << "用户名";
    QTest::newRow("no port") << "socket://127.0.0.1"
                             << "没有端口号";
    QTest::newRow("unknown scheme") << "telnet://127.0.0.1:23"
                                    << "telnet://";
    QTest::newRow("nothing of ours") << "xyz"
                                     << "";
    QTest::newRow("no such COM") << "COM17"
                                 << "";
}

// A text that looks like an address but cannot be used is said, and nothing
// goes to the port of the TEST before: its reply would be credited to another.
void TestPortFaults::unusableAddressSendsNothing() {
    QFETCH(QString, text);
    QFETCH(QString, says);
    Pty pty;
    QVERIFY(pty.ok());
    PortSession port(decoy_map(1, pty.slavePath()));
    Form1 w(&port);
    w.cmdtest->click();
    QCOMPARE(pty.read(11).toHex(), QByteArray("1430311130303130310303"));
    QTRY_VERIFY_WITH_TIMEOUT(!w.Timer1.isActive(), 2000);
    const QString trsBefore = w.trs->text();
    w.Combo1->setEditText(text);
    w.cmdtest->click();
    if (says.isEmpty()) {
        QCOMPARE(pty.read(11).toHex(), QByteArray("1430311130303130310303"));
        QVERIFY(w.lastMessage().isEmpty());
        return;
    }
    QVERIFY(!w.Timer1.isActive());
    QCOMPARE(w.trs->text(), trsBefore);
    QCOMPARE(pty.read(1, 300), QByteArray());
    QCOMPARE(port.lastError().kind, PortError::BadAddress);
    for (const QString &part : {text, says, QStringLiteral("未发送任何内容")})
        QVERIFY2(w.lastMessage().contains(part), qPrintable(w.lastMessage()));
    QVERIFY(w.messageBox() && !w.messageBox()->isModal());
}

int main(int argc, char **argv) {
    if (const auto rc = child_console(argc, argv)) return *rc;
    QApplication app(argc, argv);
    TestPortFaults t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_port_faults.moc"
