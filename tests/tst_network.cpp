// Network serial ports: the console and the probe against a real ser2net
// serving kestrova-sim's pseudo-terminal, and against a small hostile RFC 2217
// server inside the test for what ser2net will not do.
#include "form1.h"
#include "netserialport.h"
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

// Whether something listens on the local TCP port, from the kernel's table:
// a connection to ask would make ser2net open the device, and it frees the
// device only about 2 s after that connection goes.
bool listens_on(quint16 port) {
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly)) return false;
    const QByteArray local =
        QStringLiteral(":%1").arg(port, 4, 16, QLatin1Char('0')).toUpper().toLatin1();
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1].endsWith(local) && fields[3] == "0A") return true;
    }
    return false;
}

// ser2net 4 on 127.0.0.1 with two accepters on one pseudo-terminal: telnet
// with RFC 2217, and raw TCP. Without the UUCP lock: the test looks at the
// line's termios while the server holds it.
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
        for (int i = 0; i < 200 && !listening(); ++i)
            QTest::qWait(25);
    }
    ~Ser2net() {
        proc_.terminate();
        if (!proc_.waitForFinished(3000)) proc_.kill();
    }
    bool listening() const { return listens_on(telnetPort_) && listens_on(rawPort_); }
    QString rfc2217() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(telnetPort_); }
    QString raw() const { return QStringLiteral("socket://127.0.0.1:%1").arg(rawPort_); }

private:
    QTemporaryDir dir_;
    quint16 telnetPort_, rawPort_;
    QProcess proc_;
};

// What the client said, read by the server with a parser of its own: plain
// and whole-buffer, unlike the product's decoder, so that a fault there does
// not change both ends alike.
struct Heard {
    enum Kind { Data, Verb, Sub };
    Kind kind = Data;
    quint8 verb = 0;
    quint8 option = 0;
    QByteArray bytes; // Data: the bytes; Sub: after the option, unescaped
};

class PlainTelnet {
public:
    QList<Heard> feed(const QByteArray &in) {
        using namespace telnet;
        buf_ += in;
        QList<Heard> out;
        auto data = [&out](char c) {
            if (out.isEmpty() || out.last().kind != Heard::Data) out.append(Heard{});
            out.last().bytes += c;
        };
        qsizetype i = 0;
        const auto at = [this](qsizetype k) { return quint8(buf_[k]); };
        while (i < buf_.size()) {
            if (at(i) != IAC) {
                data(buf_[i++]);
                continue;
            }
            if (i + 1 >= buf_.size()) break;
            const quint8 c = at(i + 1);
            if (c == IAC) {
                data(buf_[i]);
                i += 2;
            } else if (c >= WILL) {
                if (i + 2 >= buf_.size()) break;
                out.append(Heard{Heard::Verb, c, at(i + 2), {}});
                i += 3;
            } else if (c == SB) {
                QByteArray body;
                qsizetype j = i + 2;
                bool ended = false;
                while (!ended && j + 1 < buf_.size()) {
                    if (at(j) != IAC) {
                        body += buf_[j++];
                    } else if (at(j + 1) == IAC) {
                        body += buf_[j];
                        j += 2;
                    } else {
                        ended = true; // IAC SE, or a command that cuts it short
                        j += 2;
                    }
                }
                if (!ended) break;
                out.append(Heard{Heard::Sub, 0, quint8(body.isEmpty() ? 0 : body[0]), body.mid(1)});
                i = j;
            } else {
                i += 2;
            }
        }
        buf_.remove(0, i);
        return out;
    }

private:
    QByteArray buf_;
};

// The server's misbehaviour, one per connection; None answers as it should.
enum class Misdeed {
    None,
    Garbage,
    EndlessSub,
    RefusesOption,
    ClosesMidReply,
    Silent,
    StrayCode,    // answers SET-BAUDRATE under 133 with one byte
    OtherRate,    // reads back 4800 whatever rate was asked
    OtherParity,  // reads back even parity whatever was asked
    SlowAnswers,  // each answer 85 ms after the one before
    NeverAccepts, // the listen queue is full: the connection never completes
};

class HostileServer : public QTcpServer {
public:
    explicit HostileServer(Misdeed m) : misdeed_(m) {
        if (m == Misdeed::NeverAccepts) {
            // One connection fills a queue of none; later ones get no answer.
            setListenBacklogSize(0);
            listen(QHostAddress::LocalHost);
            pauseAccepting();
            filler_.connectToHost(QHostAddress::LocalHost, serverPort());
            filler_.waitForConnected(2000);
            return;
        }
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection())
                serve(s);
        });
    }
    QString address() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(serverPort()); }
    int connections = 0;
    QByteArray received; // data bytes, unescaped
    // COM-PORT requests and data in the order they came: "1 00002580" for
    // a request (code, value in hex), "data" for each run of data bytes.
    QStringList heard;
    // The last value asked for each COM-PORT code.
    QHash<int, QByteArray> asked;

private:
    void answer(QTcpSocket *s, quint8 code, const QByteArray &value) {
        using namespace telnet;
        QByteArray v = value;
        if (misdeed_ == Misdeed::OtherRate && code == SetBaudRate) v = be32(4800);
        if (misdeed_ == Misdeed::OtherParity && code == SetParity) v = QByteArray(1, 3);
        if (misdeed_ == Misdeed::StrayCode && code == SetBaudRate) {
            s->write(comPort(133, QByteArray(1, 1)));
            return;
        }
        if (misdeed_ == Misdeed::SlowAnswers && code <= SetStopSize) {
            // 85, 170, 255 and 340 ms after the first request.
            if (!slow_.isValid()) slow_.start();
            const qint64 due = std::max<qint64>(0, 85 * ++slowAnswers_ - slow_.elapsed());
            QTimer::singleShot(int(due), s,
                               [s, code, v] { s->write(comPort(code + kServerOffset, v)); });
            return;
        }
        s->write(comPort(code + kServerOffset, v));
    }

    bool answers() const {
        return misdeed_ != Misdeed::Garbage && misdeed_ != Misdeed::RefusesOption &&
               misdeed_ != Misdeed::EndlessSub && misdeed_ != Misdeed::Silent;
    }

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
        auto *reader = new PlainTelnet;
        connect(s, &QObject::destroyed, s, [reader] { delete reader; });
        connect(s, &QTcpSocket::readyRead, s, [this, s, reader] {
            bool data = false;
            for (const Heard &h : reader->feed(s->readAll())) {
                if (h.kind == Heard::Verb && h.verb == WILL && h.option == kComPort &&
                    misdeed_ != Misdeed::Silent && misdeed_ != Misdeed::EndlessSub)
                    s->write(command(misdeed_ == Misdeed::RefusesOption ? DONT : DO, kComPort));
                if (h.kind == Heard::Sub && h.option == kComPort && !h.bytes.isEmpty()) {
                    const quint8 code = quint8(h.bytes[0]);
                    heard << QStringLiteral("%1 %2").arg(code).arg(
                        QString::fromLatin1(h.bytes.mid(1).toHex()));
                    asked[code] = h.bytes.mid(1);
                    if (answers()) answer(s, code, h.bytes.mid(1));
                }
                if (h.kind == Heard::Data) {
                    if (heard.isEmpty() || heard.last() != QLatin1String("data"))
                        heard << QStringLiteral("data");
                    received += h.bytes;
                    data = true;
                }
            }
            if (data && misdeed_ == Misdeed::ClosesMidReply) {
                s->write(QByteArray("\x14"
                                    "01\x02"
                                    "0010"));
                s->disconnectFromHost();
            }
        });
    }
    Misdeed misdeed_;
    QTcpSocket filler_;
    QElapsedTimer slow_;
    int slowAnswers_ = 0;
};

} // namespace

class TestNetwork : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void testOverSer2net_data();
    void testOverSer2net();
    void lineSettingsOverSer2net_data();
    void lineSettingsOverSer2net();
    void probeScans();
    void sendEventAfterWireTime();
    void settingsCodes_data();
    void settingsCodes();
    void purgeBeforeEachFrame_data();
    void purgeBeforeEachFrame();
    void subnegotiationBound_data();
    void subnegotiationBound();
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

// What the far end's line is set to, as "speed cflag". Linux keeps a
// pseudo-terminal at CS8 without PARENB whatever it is told, so of the parity
// only PARODD shows, and of the size nothing.
QString line_of(const QString &device) {
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return QStringLiteral("cannot open");
    termios t{};
    const int got = ::tcgetattr(fd, &t);
    ::close(fd);
    if (got != 0) return QStringLiteral("no termios");
    return QStringLiteral("%1 %2").arg(cfgetospeed(&t)).arg(t.c_cflag & (PARODD | CSTOPB), 0, 8);
}

void TestNetwork::lineSettingsOverSer2net_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<uint>("speed");
    QTest::addColumn<uint>("cflag");
    QTest::newRow("odd") << QStringLiteral("9600,o,7,1") << uint(B9600) << uint(PARODD);
    QTest::newRow("even") << QStringLiteral("9600,e,8,2") << uint(B9600) << uint(CSTOPB);
    QTest::newRow("odd, 2") << QStringLiteral("4800,o,8,2") << uint(B4800) << uint(PARODD | CSTOPB);
}

// The settings the server read back are the ones its line has.
void TestNetwork::lineSettingsOverSer2net() {
    QFETCH(QString, settings);
    QFETCH(uint, speed);
    QFETCH(uint, cflag);
    SimProcess sim({});
    Ser2net server(sim.device());
    QVERIFY(server.listening());
    PortSession port{PortMap()};
    QVERIFY(port.prepare(server.rfc2217(), settings, "RTS=0", KeepPolicy::Console));
    QVERIFY(port.waitReady());
    QTRY_COMPARE(line_of(sim.device()), QStringLiteral("%1 %2").arg(speed).arg(cflag, 0, 8));
}

void TestNetwork::probeScans() {
    // The scan waits for every one of 999 addresses: the wait per address is
    // short, so the instruments answer at once, and 30 ms leaves room for a
    // busy machine on the way through ser2net.
    SimProcess sim({QStringLiteral("--delay"), QStringLiteral("0")});
    Ser2net server(sim.device());
    QVERIFY(server.listening());
    QProcess probe;
    probe.start(qEnvironmentVariable("KC_PROBE"),
                {server.rfc2217(), QStringLiteral("--scan"), QStringLiteral("--timeout"),
                 QStringLiteral("30")});
    QVERIFY(probe.waitForFinished(120000));
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    const QString err = QString::fromUtf8(probe.readAllStandardError());
    const QString said = QStringLiteral("exit %1\n%2\n%3").arg(probe.exitCode()).arg(err, out);
    QVERIFY2(probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0, qPrintable(said));
    for (const char *a : {"001", "002", "003"})
        QVERIFY2(out.contains(QStringLiteral("地址 %1  通道 01  OK SUM=").arg(QLatin1String(a))),
                 qPrintable(said));
    QVERIFY2(!out.contains(QStringLiteral("地址 004")), qPrintable(said));
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

void TestNetwork::settingsCodes_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QByteArray>("rate");
    QTest::addColumn<int>("dataSize");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopSize");
    // RFC 2217's numbers.
    QTest::newRow("none, 1") << QStringLiteral("9600,n,8,1") << QByteArray::fromHex("00002580") << 8
                             << 1 << 1;
    QTest::newRow("odd, 2") << QStringLiteral("1200,o,7,2") << QByteArray::fromHex("000004b0") << 7
                            << 2 << 2;
    QTest::newRow("even, 1") << QStringLiteral("4800,e,6,1") << QByteArray::fromHex("000012c0") << 6
                             << 3 << 1;
    QTest::newRow("mark, 1.5") << QStringLiteral("19200,m,5,1.5") << QByteArray::fromHex("00004b00")
                               << 5 << 4 << 3;
    QTest::newRow("space, 2") << QStringLiteral("56000,s,8,2") << QByteArray::fromHex("0000dac0")
                              << 8 << 5 << 2;
    // The rate's 0xFF bytes doubled inside the subnegotiation, and only there.
    QTest::newRow("rate of IACs") << QStringLiteral("65535,n,8,1")
                                  << QByteArray::fromHex("0000ffff") << 8 << 1 << 1;
}

// The codes asked are the RFC's, and the same codes read back are taken as held.
void TestNetwork::settingsCodes() {
    QFETCH(QString, settings);
    QFETCH(QByteArray, rate);
    QFETCH(int, dataSize);
    QFETCH(int, parity);
    QFETCH(int, stopSize);
    HostileServer server{Misdeed::None};
    PortSession port{PortMap()};
    QVERIFY(port.prepare(server.address(), settings, "RTS=0", KeepPolicy::Console));
    QVERIFY(port.waitReady());
    QCOMPARE(server.asked.value(telnet::SetBaudRate), rate);
    QCOMPARE(server.asked.value(telnet::SetDataSize), QByteArray(1, char(dataSize)));
    QCOMPARE(server.asked.value(telnet::SetParity), QByteArray(1, char(parity)));
    QCOMPARE(server.asked.value(telnet::SetStopSize), QByteArray(1, char(stopSize)));
}
void TestNetwork::purgeBeforeEachFrame_data() {
    QTest::addColumn<QString>("second");
    QTest::newRow("same settings") << QStringLiteral("9600,n,8,2");
    QTest::newRow("new settings") << QStringLiteral("4800,e,7,1");
}

// Every TEST empties both of the server's buffers before its frame, on a
// fresh connection and on a kept one.
void TestNetwork::purgeBeforeEachFrame() {
    QFETCH(QString, second);
    HostileServer server{Misdeed::None};
    PortSession port{PortMap()};
    const QByteArray frame("\x14"
                           "01\x11"
                           "00101\x03");
    const QStringList rounds{QStringLiteral("9600,n,8,2"), second};
    for (qsizetype round = 0; round < rounds.size(); ++round) {
        QVERIFY(port.prepare(server.address(), rounds[round], "RTS=0", KeepPolicy::Console));
        port.port().output(frame);
        QTRY_COMPARE(server.received.size(), frame.size() * (round + 1));
    }
    QCOMPARE(server.received, frame + frame);
    QCOMPARE(server.connections, 1);
    const QStringList heard = server.heard;
    QCOMPARE(heard.count(QStringLiteral("data")), 2);
    qsizetype from = 0;
    for (int i = 0; i < 2; ++i) {
        const qsizetype to = heard.indexOf(QStringLiteral("data"), from);
        const QStringList before = heard.mid(from, to - from);
        QVERIFY2(before.contains(QStringLiteral("12 01")) &&
                     before.contains(QStringLiteral("12 02")),
                 qPrintable(heard.join(QLatin1Char('|'))));
        from = to + 1;
    }
}

void TestNetwork::subnegotiationBound_data() {
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("delivered");
    QTest::newRow("255") << QByteArray(255, 'x') << true;
    QTest::newRow("256") << QByteArray(256, 'x') << true;
    QTest::newRow("257") << QByteArray(257, 'x') << false;
    QTest::newRow("256 doubled IACs") << QByteArray(256, char(0xff)) << true;
    QTest::newRow("257 doubled IACs") << QByteArray(257, char(0xff)) << false;
    QTest::newRow("4096") << QByteArray(4096, 'x') << false;
}

// A subnegotiation of the bound comes whole; one byte more is dropped and
// counted, and what follows it decodes as ever.
void TestNetwork::subnegotiationBound() {
    QFETCH(QByteArray, payload);
    QFETCH(bool, delivered);
    using namespace telnet;
    const QByteArray stream = QByteArray("a") + char(IAC) + char(SB) + char(kComPort) +
                              escape(payload) + char(IAC) + char(SE) + "b" + command(DO, kBinary);
    QList<Event> expected;
    if (delivered) expected.append({Event::Sub, 0, kComPort, payload});
    expected.append({Event::Verb, DO, kBinary, {}});
    for (const qsizetype piece : {stream.size(), qsizetype(1)}) {
        Decoder d;
        QByteArray data;
        QList<Event> events;
        for (qsizetype at = 0; at < stream.size(); at += piece)
            d.feed(stream.mid(at, piece), data, events);
        QCOMPARE(data, QByteArray("ab"));
        QCOMPARE(events, expected);
        QCOMPARE(d.dropped(), delivered ? 0 : 1);
    }
}

// What the next TEST does after a misbehaving server.
enum class Again { Reconnects, SendsOverOpen, Unseen };

void TestNetwork::hostileServer_data() {
    QTest::addColumn<int>("misdeed");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("again");
    const QString noAnswer = QStringLiteral("3 秒内没有应答");
    const int reconnects = int(Again::Reconnects);
    QTest::newRow("IAC garbage") << int(Misdeed::Garbage) << noAnswer << reconnects;
    QTest::newRow("endless subnegotiation") << int(Misdeed::EndlessSub) << noAnswer << reconnects;
    QTest::newRow("refuses COM-PORT-OPTION")
        << int(Misdeed::RefusesOption) << QStringLiteral("不支持 RFC 2217") << reconnects;
    QTest::newRow("closes in the middle of the reply")
        << int(Misdeed::ClosesMidReply) << QStringLiteral("服务器关闭了连接") << reconnects;
    QTest::newRow("accepts and never speaks") << int(Misdeed::Silent) << noAnswer << reconnects;
    QTest::newRow("answers SET-BAUDRATE under 133")
        << int(Misdeed::StrayCode) << noAnswer << reconnects;
    QTest::newRow("reads back another rate")
        << int(Misdeed::OtherRate) << QStringLiteral("设备不接受波特率 9600，仍保持波特率 4800")
        << reconnects;
    QTest::newRow("reads back another parity")
        << int(Misdeed::OtherParity) << QStringLiteral("设备不接受无校验，仍保持偶校验")
        << reconnects;
    QTest::newRow("confirms the settings slowly")
        << int(Misdeed::SlowAnswers)
        << QStringLiteral("没有在等待时间（250 毫秒）内确认线路设置，该帧未发送")
        << int(Again::SendsOverOpen);
    QTest::newRow("never accepts the connection")
        << int(Misdeed::NeverAccepts) << noAnswer << int(Again::Unseen);
}

void TestNetwork::hostileServer() {
    QFETCH(int, misdeed);
    QFETCH(QString, reason);
    QFETCH(int, again);
    HostileServer server{Misdeed(misdeed)};
    QVERIFY(server.isListening());
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
    // Nothing went out on the server's line but to a server that took the settings.
    if (Misdeed(misdeed) != Misdeed::ClosesMidReply)
        QVERIFY2(server.received.isEmpty(), server.received.toHex().constData());
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
    // The next TEST tries again, or goes on over the connection once ready.
    if (Again(again) == Again::SendsOverOpen)
        QTRY_VERIFY(qobject_cast<NetSerialPort *>(&port.port())->ready());
    w.cmdtest->click();
    if (Again(again) == Again::Reconnects) QTRY_COMPARE(server.connections, 2);
    if (Again(again) == Again::SendsOverOpen) {
        QTRY_VERIFY(!server.received.isEmpty());
        QCOMPARE(server.connections, 1);
    }
}

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"
