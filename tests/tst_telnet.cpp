// The telnet option negotiation and the COM-PORT settings exchange, without a
// network: the server's bytes in through the decoder, the client's bytes and
// state out.
#include "settings.h"
#include "telnet.h"

#include <QtTest>
#include <functional>

using namespace telnet;

namespace {

QByteArray hex(const char *h) {
    return QByteArray::fromHex(h);
}
// A server's COM-PORT answer, the value in hex.
QByteArray sub(int code, const char *value) {
    return comPort(quint8(code), hex(value));
}
const QByteArray k9600n82 = sub(101, "00002580") + sub(102, "08") + sub(103, "01") + sub(104, "02");

// The events of `stream` decoded `piece` bytes at a time, each passed on once whole.
void decode(const QByteArray &stream, qsizetype piece, const std::function<void(Event)> &to) {
    Decoder d;
    for (qsizetype at = 0; at < stream.size(); at += piece) {
        QByteArray data;
        QList<Event> events;
        d.feed(stream.mid(at, piece), data, events);
        for (const Event &e : events)
            to(e);
    }
}

int feed(SettingsExchange &x, const QByteArray &stream, qsizetype piece = 1) {
    int taken = 0;
    decode(stream, piece, [&](const Event &e) {
        if (e.kind == Event::Sub && e.option == kComPort && !e.payload.isEmpty())
            taken += x.take(quint8(e.payload[0]), e.payload.mid(1));
    });
    return taken;
}

} // namespace

class TestTelnet : public QObject {
    Q_OBJECT
private slots:
    void negotiation_data();
    void negotiation();
    void exchange_data();
    void exchange();
    void readBack();
};

void TestTelnet::negotiation_data() {
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("said"); // COM-PORT agreed (a) or refused (r)
    const char *rows[][4] = {
        {"DO COM-PORT agreed, no echo", "fffd2cfffd2c", "", "aa"},
        {"DONT COM-PORT refused, not answered", "fffe2c", "", "r"},
        {"a repeated DO of an unknown option answered once", "fffd18fffd18fffd18", "fffc18", ""},
        {"refused once for both sides", "fffb01fffd01fffb01", "fffe01", ""},
        {"SUPPRESS-GO-AHEAD taken once each way", "fffb03fffb03fffd03fffd03", "fffd03fffb03", ""},
        {"BINARY already agreed", "fffd00fffb00", "", ""},
        {"DONT and WONT BINARY confirmed once", "fffe00fffe00fffc00fffc00fffd00",
         "fffc00fffe00fffb00", ""},
        {"DONT and WONT of others unanswered", "fffe18fffc18", "", ""},
        {"WILL COM-PORT taken", "fffb2c", "fffd2c", ""},
    };
    for (const auto &r : rows)
        QTest::newRow(r[0]) << hex(r[1]) << hex(r[2]) << QString::fromLatin1(r[3]);
}

void TestTelnet::negotiation() {
    QFETCH(QByteArray, server);
    QFETCH(QByteArray, reply);
    QFETCH(QString, said);
    Negotiation n;
    QCOMPARE(n.open().toHex(), QByteArray("fffb2cfffb00fffd00"));
    QByteArray got;
    QString saidGot;
    decode(server, 1, [&](const Event &e) {
        const Negotiation::Answer a = n.answer(e.verb, e.option);
        got += a.bytes;
        if (a.comPort != Negotiation::ComPortSaid::Nothing)
            saidGot += a.comPort == Negotiation::ComPortSaid::Agreed ? 'a' : 'r';
    });
    QCOMPARE(got.toHex(), reply.toHex());
    QCOMPARE(saidGot, said);
}

void TestTelnet::exchange_data() {
    QTest::addColumn<QString>("asked"); // empty: nothing asked
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<qsizetype>("piece");
    QTest::addColumn<int>("taken");
    QTest::addColumn<QString>("kept"); // empty: not all answered
    QTest::addColumn<bool>("held");
    const QString n82 = QStringLiteral("9600,n,8,2");
    const struct {
        const char *name;
        QString asked;
        QByteArray server;
        int taken;
        QString kept;
        bool held;
    } rows[] = {
        {"all four read back", n82, k9600n82, 4, n82, true},
        {"three of four", n82, k9600n82.left(k9600n82.lastIndexOf("\xff\xfa")), 3, "", true},
        {"answers to questions never asked", "", k9600n82, 0, n82, true},
        {"other codes", n82, sub(105, "0b") + sub(112, "01") + sub(100, "00002580") + sub(0, ""), 0,
         "", true},
        {"code 133", n82, sub(133, "01") + sub(133, "00002580"), 0, "", true},
        {"4800 answered when 9600 asked", n82, sub(101, "000012c0") + k9600n82, 4, "4800,n,8,2",
         false},
        {"even parity for none", n82, sub(103, "03") + k9600n82, 4, "9600,e,8,2", false},
        {"1.5 asked, 2 held", "19200,m,5,1.5",
         sub(101, "00004b00") + sub(102, "05") + sub(103, "04") + sub(104, "02"), 4, "19200,m,5,2",
         true},
        {"lengths and values the option lacks", n82,
         sub(101, "002580") + sub(101, "00000000") + sub(102, "0808") + sub(102, "09") +
             sub(103, "06") + sub(104, "00"),
         0, "", true},
    };
    for (const auto &r : rows)
        for (const qsizetype piece : {qsizetype(1 << 16), qsizetype(1)})
            QTest::addRow("%s%s", r.name, piece == 1 ? ", split at every byte" : "")
                << r.asked << r.server << piece << r.taken << r.kept << r.held;
}

void TestTelnet::exchange() {
    QFETCH(QString, asked);
    QFETCH(QByteArray, server);
    QFETCH(qsizetype, piece);
    QFETCH(int, taken);
    QFETCH(QString, kept);
    QFETCH(bool, held);
    SettingsExchange x;
    if (!asked.isEmpty()) x.ask(*parse_settings(asked));
    QCOMPARE(feed(x, server, piece), taken);
    QCOMPARE(x.answered(), !kept.isEmpty());
    if (x.answered()) QCOMPARE(settings_text(x.kept()), kept);
    QCOMPARE(x.held(), held);
    QCOMPARE(x.readBack(x.asked()), !asked.isEmpty() && x.answered() && held);
}

// The requests' bytes; the settings last read back in full and held skip the wait.
void TestTelnet::readBack() {
    const LineSettings a = *parse_settings("9600,n,8,2"), b = *parse_settings("65535,e,7,1.5");
    SettingsExchange x;
    QCOMPARE(x.ask(a).toHex(),
             QByteArray("fffa2c0100002580fff0fffa2c0208fff0fffa2c0301fff0fffa2c0402fff0"));
    feed(x, k9600n82);
    QVERIFY(x.readBack(a));
    QCOMPARE(x.ask(b).toHex(),
             QByteArray("fffa2c010000fffffffffff0fffa2c0207fff0fffa2c0303fff0fffa2c0403fff0"));
    QVERIFY(x.readBack(a) && !x.readBack(b));
    feed(x, sub(101, "0000ffff") + sub(102, "07") + sub(103, "03") + sub(104, "03"));
    QVERIFY(!x.readBack(a) && x.readBack(b));
    x.ask(a);
    feed(x, sub(101, "000012c0") + k9600n82);
    QVERIFY(!x.readBack(a) && !x.readBack(b));
}

QTEST_MAIN(TestTelnet)
#include "tst_telnet.moc"
