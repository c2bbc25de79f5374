// The telnet option negotiation and the COM-PORT settings exchange, without a
// network: the server's bytes in, the client's bytes and state out.
#include "settings.h"
#include "telnet.h"

#include <QtTest>
#include <initializer_list>
#include <utility>

using namespace telnet;

namespace {

QByteArray verbs(std::initializer_list<std::pair<quint8, quint8>> list) {
    QByteArray out;
    for (const auto &[verb, option] : list)
        out += command(verb, option);
    return out;
}

// Feeds a server's stream to an exchange `piece` bytes at a time, each answer
// as soon as it is whole; how many answers counted.
int feed(SettingsExchange &x, const QByteArray &stream, qsizetype piece) {
    Decoder d;
    int taken = 0;
    for (qsizetype at = 0; at < stream.size(); at += piece) {
        QByteArray data;
        QList<Event> events;
        d.feed(stream.mid(at, piece), data, events);
        for (const Event &e : events)
            if (e.kind == Event::Sub && e.option == kComPort && !e.payload.isEmpty())
                taken += x.take(quint8(e.payload[0]), e.payload.mid(1));
    }
    return taken;
}

QByteArray answers(quint32 rate, quint8 data, quint8 parity, quint8 stop) {
    return comPort(101, be32(rate)) + comPort(102, QByteArray(1, char(data))) +
           comPort(103, QByteArray(1, char(parity))) + comPort(104, QByteArray(1, char(stop)));
}

} // namespace

class TestTelnet : public QObject {
    Q_OBJECT
private slots:
    void opening();
    void negotiation_data();
    void negotiation();
    void askedBytes_data();
    void askedBytes();
    void exchange_data();
    void exchange();
    void readBack_data();
    void readBack();
};

void TestTelnet::opening() {
    Negotiation n;
    QCOMPARE(n.open(), QByteArray::fromHex("fffb2cfffb00fffd00"));
}

void TestTelnet::negotiation_data() {
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("said"); // a for agreed, r for refused, one per COM-PORT word
    QTest::newRow("DO COM-PORT agreed, already ours")
        << verbs({{DO, kComPort}}) << QByteArray() << "a";
    QTest::newRow("DO COM-PORT twice")
        << verbs({{DO, kComPort}, {DO, kComPort}}) << QByteArray() << "aa";
    QTest::newRow("DONT COM-PORT refused, not answered")
        << verbs({{DONT, kComPort}}) << QByteArray() << "r";
    QTest::newRow("repeated DO of an unknown option answered once")
        << verbs({{DO, 24}, {DO, 24}, {DO, 24}}) << verbs({{WONT, 24}}) << "";
    QTest::newRow("repeated WILL of an unknown option answered once")
        << verbs({{WILL, 1}, {WILL, 1}}) << verbs({{DONT, 1}}) << "";
    QTest::newRow("refused once for both sides")
        << verbs({{WILL, 1}, {DO, 1}}) << verbs({{DONT, 1}}) << "";
    QTest::newRow("each unknown option refused")
        << verbs({{DO, 24}, {DO, 31}, {WILL, 255}}) << verbs({{WONT, 24}, {WONT, 31}, {DONT, 255}})
        << "";
    QTest::newRow("DONT and WONT of unknown options unanswered")
        << verbs({{DONT, 24}, {WONT, 24}}) << QByteArray() << "";
    QTest::newRow("SUPPRESS-GO-AHEAD taken once each way")
        << verbs({{WILL, kSuppressGoAhead},
                  {WILL, kSuppressGoAhead},
                  {DO, kSuppressGoAhead},
                  {DO, kSuppressGoAhead}})
        << verbs({{DO, kSuppressGoAhead}, {WILL, kSuppressGoAhead}}) << "";
    QTest::newRow("BINARY already agreed")
        << verbs({{DO, kBinary}, {WILL, kBinary}}) << QByteArray() << "";
    QTest::newRow("WONT BINARY confirmed once")
        << verbs({{WONT, kBinary}, {WONT, kBinary}, {WILL, kBinary}})
        << verbs({{DONT, kBinary}, {DO, kBinary}}) << "";
    QTest::newRow("DONT BINARY confirmed once")
        << verbs({{DONT, kBinary}, {DONT, kBinary}, {DO, kBinary}})
        << verbs({{WONT, kBinary}, {WILL, kBinary}}) << "";
    QTest::newRow("WILL COM-PORT from the server")
        << verbs({{WILL, kComPort}}) << verbs({{DO, kComPort}}) << "";
    QTest::newRow("agreed between refusals")
        << verbs({{DO, 24}, {DO, kComPort}, {DO, 24}}) << verbs({{WONT, 24}}) << "a";
}

// Fed through the decoder byte by byte after the opening.
void TestTelnet::negotiation() {
    QFETCH(QByteArray, server);
    QFETCH(QByteArray, reply);
    QFETCH(QString, said);
    Negotiation n;
    n.open();
    Decoder d;
    QByteArray got, data;
    QString saidGot;
    for (const char c : server) {
        QList<Event> events;
        d.feed(QByteArray(1, c), data, events);
        for (const Event &e : events) {
            const Negotiation::Answer a = n.answer(e.verb, e.option);
            got += a.bytes;
            if (a.comPort == Negotiation::ComPortSaid::Agreed) saidGot += 'a';
            if (a.comPort == Negotiation::ComPortSaid::Refused) saidGot += 'r';
        }
    }
    QCOMPARE(got.toHex(' '), reply.toHex(' '));
    QCOMPARE(saidGot, said);
    QVERIFY(data.isEmpty());
}

void TestTelnet::askedBytes_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QByteArray>("wire");
    const auto sub = [](const char *hex) {
        return QByteArray::fromHex("fffa2c") + QByteArray::fromHex(hex) +
               QByteArray::fromHex("fff0");
    };
    QTest::newRow("9600,n,8,2") << "9600,n,8,2"
                                << sub("0100002580") + sub("0208") + sub("0301") + sub("0402");
    QTest::newRow("1200,o,7,1") << "1200,o,7,1"
                                << sub("01000004b0") + sub("0207") + sub("0302") + sub("0401");
    QTest::newRow("19200,m,5,1.5")
        << "19200,m,5,1.5" << sub("0100004b00") + sub("0205") + sub("0304") + sub("0403");
    QTest::newRow("rate of IACs doubled")
        << "65535,s,6,1" << sub("010000ffffffff") + sub("0206") + sub("0305") + sub("0401");
}

void TestTelnet::askedBytes() {
    QFETCH(QString, settings);
    QFETCH(QByteArray, wire);
    SettingsExchange x;
    QCOMPARE(x.ask(*parse_settings(settings)).toHex(' '), wire.toHex(' '));
    QVERIFY(!x.answered());
}

void TestTelnet::exchange_data() {
    QTest::addColumn<QString>("asked"); // empty: nothing asked
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<qsizetype>("piece");
    QTest::addColumn<int>("taken");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QString>("kept");
    QTest::addColumn<bool>("held");
    const QByteArray all = answers(9600, 8, 1, 2);
    struct Row {
        const char *name;
        QString asked;
        QByteArray server;
        int taken;
        bool answered;
        QString kept;
        bool held;
    };
    const Row rows[] = {
        {"all four read back", "9600,n,8,2", all, 4, true, "9600,n,8,2", true},
        {"between data and commands", "9600,n,8,2",
         "ab" + command(DO, 24) + comPort(101, be32(9600)) + "\xff\xff" +
             comPort(102, QByteArray(1, 8)) + command(WILL, 3) + comPort(103, QByteArray(1, 1)) +
             comPort(104, QByteArray(1, 2)),
         4, true, "9600,n,8,2", true},
        {"three of four", "9600,n,8,2", all.left(all.lastIndexOf("\xff\xfa")), 3, false,
         "9600,n,8,2", true},
        {"answers to questions never asked", "", all, 0, true, "9600,n,8,2", true},
        {"codes never asked", "9600,n,8,2",
         comPort(105, QByteArray(1, 11)) + comPort(106, QByteArray(1, 1)) +
             comPort(112, QByteArray(1, 1)) + comPort(100, be32(9600)) + comPort(1, be32(9600)) +
             comPort(201, be32(9600)) + comPort(0, {}),
         0, false, "9600,n,8,2", true},
        {"code 133", "9600,n,8,2", comPort(133, QByteArray(1, 1)), 0, false, "9600,n,8,2", true},
        {"code 133 then the answers", "9600,n,8,2", comPort(133, QByteArray(1, 1)) + all, 4, true,
         "9600,n,8,2", true},
        {"4800 answered when 9600 asked", "9600,n,8,2", answers(4800, 8, 1, 2), 4, true,
         "4800,n,8,2", false},
        {"even parity answered when none asked", "9600,n,8,2", answers(9600, 8, 3, 2), 4, true,
         "9600,e,8,2", false},
        {"one and a half asked, two held", "19200,m,5,1.5", answers(19200, 5, 4, 2), 4, true,
         "19200,m,5,2", true},
        {"each answered once, the first counts", "9600,n,8,2",
         comPort(101, be32(4800)) + comPort(101, be32(9600)) + all, 4, true, "4800,n,8,2", false},
        {"lengths the option does not have", "9600,n,8,2",
         comPort(101, QByteArray::fromHex("002580")) +
             comPort(101, QByteArray::fromHex("0000258000")) + comPort(102, QByteArray(2, 8)) +
             comPort(103, {}) + comPort(104, QByteArray(2, 1)),
         0, false, "9600,n,8,2", true},
        {"values the option does not have", "9600,n,8,2",
         comPort(101, be32(0)) + comPort(101, be32(0x80000000)) + comPort(102, QByteArray(1, 4)) +
             comPort(102, QByteArray(1, 9)) + comPort(103, QByteArray(1, 0)) +
             comPort(103, QByteArray(1, 6)) + comPort(104, QByteArray(1, 0)) +
             comPort(104, QByteArray(1, 4)),
         0, false, "9600,n,8,2", true},
        {"a rate of IACs", "65535,n,8,2", answers(65535, 8, 1, 2), 4, true, "65535,n,8,2", true},
        {"answers in another option", "9600,n,8,2",
         QByteArray(all).replace(QByteArray::fromHex("fffa2c"), QByteArray::fromHex("fffa2b")), 0,
         false, "9600,n,8,2", true},
    };
    for (const Row &r : rows)
        for (const qsizetype piece : {qsizetype(1 << 16), qsizetype(1)})
            QTest::addRow("%s%s", r.name, piece == 1 ? ", split at every byte" : "")
                << r.asked << r.server << piece << r.taken << r.answered << r.kept << r.held;
}

void TestTelnet::exchange() {
    QFETCH(QString, asked);
    QFETCH(QByteArray, server);
    QFETCH(qsizetype, piece);
    QFETCH(int, taken);
    QFETCH(bool, answered);
    QFETCH(QString, kept);
    QFETCH(bool, held);
    SettingsExchange x;
    if (!asked.isEmpty()) x.ask(*parse_settings(asked));
    QCOMPARE(feed(x, server, piece), taken);
    QCOMPARE(x.answered(), answered);
    QCOMPARE(settings_text(x.kept()), kept);
    QCOMPARE(x.held(), held);
    QCOMPARE(x.held(), settings_held(x.asked(), x.kept()));
    // Read back in full and held: the same settings may go on without a wait.
    QCOMPARE(x.readBack(x.asked()), !asked.isEmpty() && answered && held);
}

void TestTelnet::readBack_data() {
    QTest::addColumn<QByteArray>("first");  // answers to 9600,n,8,2
    QTest::addColumn<QByteArray>("second"); // answers to 4800,e,7,1 asked next
    QTest::addColumn<bool>("firstRead");
    QTest::addColumn<bool>("secondRead");
    const QByteArray first = answers(9600, 8, 1, 2), second = answers(4800, 7, 3, 1);
    QTest::newRow("none asked again") << first << QByteArray() << true << false;
    QTest::newRow("the second read back") << first << second << false << true;
    QTest::newRow("the second half read back") << first << second.left(20) << true << false;
    QTest::newRow("the second not held") << first << answers(4800, 7, 1, 1) << false << false;
    QTest::newRow("the first not held") << answers(9600, 7, 1, 2) << QByteArray() << false << false;
    QTest::newRow("answers to the first after the second asked")
        << QByteArray() << first << false << false;
}

// Only settings read back in full, and held, on this exchange skip the wait.
void TestTelnet::readBack() {
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(bool, firstRead);
    QFETCH(bool, secondRead);
    const LineSettings a = *parse_settings("9600,n,8,2"), b = *parse_settings("4800,e,7,1");
    SettingsExchange x;
    QVERIFY(!x.readBack(a));
    x.ask(a);
    feed(x, first, 1);
    x.ask(b);
    feed(x, second, 1);
    QCOMPARE(x.readBack(a), firstRead);
    QCOMPARE(x.readBack(b), secondRead);
}

QTEST_MAIN(TestTelnet)
#include "tst_telnet.moc"
