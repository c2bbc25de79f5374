// Network serial ports: the console and the probe against a real ser2net
// serving kestrova-sim's pseudo-terminal, and against a small hostile RFC 2217
// server inside the test for what ser2net will not do.
#include "form1.h"
#include "portsession.h"
#include "preparation.h"
#include "simprocess.h"
#include "telnet.h"

#include <QMessageBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QString kOk =
    QStringLiteral(u"\u27e8DC4\u27e901\u27e8STX\u27e90010123.400560\u27e8ETB\u27e9OK SUM=00560\n");

quint16 free_port() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost);
    return s.serverPort();
}

// ser2net 4 on 127.0.0.1 with two accepters on one pseudo-terminal: telnet
// with RFC 2217, and raw TCP. Without the UUCP lock: the connection that checks
// that it listens may still hold it when the test's own comes.
class Ser2net {
public:
    explicit Ser2net(const QString &device) : telnetPort_(free_port()), rawPort_(free_port()) {
        const QString config = dir_.filePath(QStringLiteral("ser2net.yaml"));
        QFile f(config);
        f.open(QIODevice::WriteOnly);
        for (const auto &[accepter, port] :
             {std::pair{"telnet(rfc2217),tcp", telnetPort_}, std::pair{"tcp", rawPort_}})
            f.write(QStringLiteral("connection: &c%1\n  accepter: %2,127.0.0.1,%1\n"
                                   "  connector: serialdev(nouucplock),%3,9600n82,local\n"
                                   "  options:\n    kickolduser: true\n")
                        .arg(port)
                        .arg(QLatin1String(accepter), device)
                        .toUtf8());
        f.close();
        proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc_.start(QStringLiteral("/usr/sbin/ser2net"),
                    {"-n", "-c", config, "-P", dir_.filePath(QStringLiteral("pid"))});
        proc_.waitForStarted(5000);
        for (int i = 0; i < 100 && !listening(); ++i)
            QTest::qWait(50);
    }
    ~Ser2net() {
        proc_.terminate();
        if (!proc_.waitForFinished(3000)) proc_.kill();
    }
    bool listening() {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, rawPort_);
        return s.waitForConnected(200);
    }
    QString rfc2217() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(telnetPort_); }
    QString raw() const { return QStringLiteral("socket://127.0.0.1:%1").arg(rawPort_); }

private:
    QTemporaryDir dir_;
    quint16 telnetPort_, rawPort_;
    QProcess proc_;
};

// The server's misbehaviour, one per connection; None answers as it should.
enum class Misdeed { None, Garbage, EndlessSub, RefusesOption, ClosesMidReply, Silent };

class HostileServer : public QTcpServer {
public:
    explicit HostileServer(Misdeed m) : misdeed_(m) {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection())
                serve(s);
        });
    }
    QString address() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(serverPort()); }
    int connections = 0;
    QByteArray received; // data bytes, unescaped

private:
    void serve(QTcpSocket *s) {
        ++connections;
        using namespace telnet;
        if (misdeed_ == Misdeed::Garbage) {
            // Stray IACs, commands without options, an unended subnegotiation
            // cut by another command, options nobody asked for.
            QByteArray junk = QByteArray::fromHex("ff01fffa2c65ffffff41fffbfbfffd18fff1ff");
            for (int i = 0; i < 4096; ++i)
                junk += char((i * 7919) % 251); // never IAC DONT COM-PORT
            s->write(junk);
        } else if (misdeed_ == Misdeed::EndlessSub) {
            s->write(command(DO, kComPort) + QByteArray::fromHex("fffa2c65"));
            auto *t = new QTimer(s);
            connect(t, &QTimer::timeout, s, [s] { s->write(QByteArray(64 * 1024, 'x')); });
            t->start(5);
        }
        connect(s, &QTcpSocket::readyRead, s, [this, s] {
            QByteArray data;
            QList<Event> events;
            decoder_.feed(s->readAll(), data, events);
            for (const Event &e : events) {
                if (e.kind == Event::Verb && e.verb == WILL && e.option == kComPort &&
                    misdeed_ != Misdeed::Silent && misdeed_ != Misdeed::EndlessSub)
                    s->write(command(misdeed_ == Misdeed::RefusesOption ? DONT : DO, kComPort));
                if (e.kind == Event::Sub &&
                    (misdeed_ == Misdeed::ClosesMidReply || misdeed_ == Misdeed::None))
                    s->write(comPort(quint8(e.payload[0]) + kServerOffset, e.payload.mid(1)));
            }
            received += data;
            if (!data.isEmpty() && misdeed_ == Misdeed::ClosesMidReply) {
                s->write(QByteArray("\x14"
                                    "01\x02"
                                    "0010"));
                s->disconnectFromHost();
            }
        });
    }
    Misdeed misdeed_;
    telnet::Decoder decoder_;
};

} // namespace

class TestNetwork : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void testOverSer2net_data();
    void testOverSer2net();
    void probeScans();
    void sendEventAfterWireTime();
    void hostileServer_data();
    void hostileServer();
};

void TestNetwork::initTestCase() {
    QVERIFY2(QFileInfo(QStringLiteral("/usr/sbin/ser2net")).isExecutable(),
             "ser2net is needed (Debian package ser2net)");
}

void TestNetwork::testOverSer2net_data() {
    QTest::addColumn<bool>("telnet");
    QTest::newRow("rfc2217://") << true;
    QTest::newRow("socket://") << false;
}

void TestNetwork::testOverSer2net() {
    QFETCH(bool, telnet);
    // The instruments answer only at the settings the line really has: over
    // RFC 2217 the box's, raw the server's own.
    SimProcess sim(telnet ? QStringList{QStringLiteral("--settings"), QStringLiteral("4800,n,8,1")}
                          : QStringList{},
                   SimProcess::Keep);
    Ser2net server(sim.device());
    QVERIFY(server.listening());
    PortSession port{PortMap()};
    Form1 w(&port);
    w.rec->resize(2000, w.rec->height());
    w.Combo1->setEditText(telnet ? server.rfc2217() : server.raw());
    w.Combo2->setEditText(QStringLiteral("4800,n,8,1"));
    for (int round = 0; round < 2; ++round) {
        w.rec->clearWindow();
        w.cmdtest->click();
        QTRY_COMPARE_WITH_TIMEOUT(w.rec->text(), kOk, 5000);
    }
    QVERIFY2(w.lastMessage().isEmpty(), qPrintable(w.lastMessage()));
    // Byte-exact at the simulator, both times, nothing else.
    const QString log = sim.log();
    const QString frame =
        QStringLiteral("收到 <DC4>01<DC1>00101<ETX>  [14 30 31 11 30 30 31 30 31 03]\n");
    const QString etx = QStringLiteral("略过 <ETX>  [03]\n");
    QCOMPARE(log.count(QStringLiteral("收到 ")), 2);
    QCOMPARE(log.count(frame), 2);
    QCOMPARE(log.count(QStringLiteral("略过 ")), log.count(etx));

    // The settings reach the line over RFC 2217; raw, the server keeps its own.
    const int fd =
        ::open(QFile::encodeName(sim.device()).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    termios t{};
    QCOMPARE(::tcgetattr(fd, &t), 0);
    ::close(fd);
    QCOMPARE(cfgetospeed(&t), speed_t(telnet ? B4800 : B9600));
    QCOMPARE(t.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(telnet ? CS8 : CS8 | CSTOPB));
}

void TestNetwork::probeScans() {
    SimProcess sim({});
    Ser2net server(sim.device());
    QProcess probe;
    probe.start(qEnvironmentVariable("KC_PROBE"),
                {server.rfc2217(), QStringLiteral("--scan"), QStringLiteral("--timeout"),
                 QStringLiteral("20")});
    QVERIFY(probe.waitForFinished(120000));
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    QCOMPARE(probe.exitCode(), 0);
    for (const char *a : {"001", "002", "003"})
        QVERIFY2(out.contains(QStringLiteral("地址 %1  通道 01  OK SUM=").arg(QLatin1String(a))),
                 qPrintable(out));
    QVERIFY2(!out.contains(QStringLiteral("地址 004")), qPrintable(out));
}

// Event code 1 comes once the bytes had time to leave the server's wire, and
// 0xFF crosses the telnet framing as itself.
void TestNetwork::sendEventAfterWireTime() {
    HostileServer server{Misdeed::None};
    PortSession port{PortMap()};
    QVERIFY(
        port.prepare(server.address(), QStringLiteral("1200,n,8,2"), "RTS=0", KeepPolicy::Console));
    QVERIFY(port.waitReady());
    QSignalSpy comm(&port, &PortSession::comm);
    const QByteArray bytes = QByteArray::fromHex("ff01ff") + QByteArray(9, 'A');
    QElapsedTimer clock;
    clock.start();
    port.port().output(bytes);
    QTRY_COMPARE(comm.count(), 1);
    QCOMPARE(comm.first().first().toInt(), 1);
    QVERIFY2(clock.elapsed() >= 12 * 12 * 1000 / 1200,
             qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(server.received, bytes);
}

void TestNetwork::hostileServer_data() {
    QTest::addColumn<int>("misdeed");
    QTest::addColumn<QString>("reason");
    QTest::newRow("IAC garbage") << int(Misdeed::Garbage) << QStringLiteral("3 秒内没有应答");
    QTest::newRow("endless subnegotiation")
        << int(Misdeed::EndlessSub) << QStringLiteral("3 秒内没有应答");
    QTest::newRow("refuses COM-PORT-OPTION")
        << int(Misdeed::RefusesOption) << QStringLiteral("不支持 RFC 2217");
    QTest::newRow("closes in the middle of the reply")
        << int(Misdeed::ClosesMidReply) << QStringLiteral("服务器关闭了连接");
    QTest::newRow("accepts and never speaks")
        << int(Misdeed::Silent) << QStringLiteral("3 秒内没有应答");
}

void TestNetwork::hostileServer() {
    QFETCH(int, misdeed);
    QFETCH(QString, reason);
    HostileServer server{Misdeed(misdeed)};
    PortSession port{PortMap()};
    Form1 w(&port);
    w.Combo1->setEditText(server.address());
    w.cmdtest->click();
    // The handler did not wait for the network, and the window goes on
    // serving events while the server misbehaves.
    bool served = false;
    QTimer::singleShot(0, &w, [&] { served = w.lastMessage().isEmpty(); });
    QTRY_VERIFY(served);
    QTRY_VERIFY_WITH_TIMEOUT(w.lastMessage().contains(reason), 8000);
    QVERIFY2(w.lastMessage().contains(server.address()), qPrintable(w.lastMessage()));
    QVERIFY(w.messageBox()->isVisible() && !w.messageBox()->isModal());
    QTRY_VERIFY(!w.Timer1.isActive());
    // Nothing of the server's commands reached the window as data; the
    // half reply did.
    const QString rec = w.rec->text();
    if (Misdeed(misdeed) == Misdeed::Garbage)
        QVERIFY2(!rec.contains(QStringLiteral(u"\u27e8FB\u27e9\u27e8FB\u27e9")) &&
                     !rec.contains(QStringLiteral(u"\u27e8FD\u27e9\u27e8CAN\u27e9")) &&
                     rec.size() > 4000,
                 qPrintable(rec.left(200)));
    else
        QCOMPARE(rec, Misdeed(misdeed) == Misdeed::ClosesMidReply
                          ? QStringLiteral(u"\u27e8DC4\u27e901\u27e8STX\u27e90010\n")
                          : QStringLiteral("\n"));
    // The next TEST tries again.
    w.cmdtest->click();
    QTRY_COMPARE(server.connections, 2);
}

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"
