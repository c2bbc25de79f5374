// The simulator's core: request bytes in, reply bytes out. Every expected byte
// string is written out by hand from the frame and reply layouts.
#include "linemodel.h"
#include "simcore.h"

#include <QtTest>

using sim::Event;
using sim::Faults;
using sim::SimCore;

Q_DECLARE_METATYPE(Faults)

namespace {

QByteArray hx(const char *spaced) {
    return QByteArray::fromHex(QByteArray(spaced));
}

// Requests as the console puts them on the line (frame and the extra ETX).
const char *const kReadPvConc = "14 30 31 11 30 30 31 30 31 03 03";
const char *const kReadPvDirect = "11 30 30 31 30 31 03 03";
const char *const kReadParConc = "14 30 31 12 30 30 31 30 31 1f 30 31 03 03";
const char *const kWriteConc =
    "14 30 31 13 30 30 31 30 31 1f 30 31 1f 30 30 30 30 2e 30 1f 30 30 38 35 34 03 03";
const char *const kWriteDirect =
    "13 30 30 31 30 31 1f 30 31 1f 30 30 30 30 2e 30 1f 30 30 37 33 37 03 03";

// DC4 01 STX 00101 23.4 00560 ETB
const char *const kDefaultReply = "14 30 31 02 30 30 31 30 31 32 33 2e 34 30 30 35 36 30 17";
// STX 00101 23.4 00443 ETB
const char *const kDirectReply = "02 30 30 31 30 31 32 33 2e 34 30 30 34 34 33 17";
// DC4 01 STX 00101 US 01 US 0001.0 00807 ETB
const char *const kReadParReply =
    "14 30 31 02 30 30 31 30 31 1f 30 31 1f 30 30 30 31 2e 30 30 30 38 30 37 17";

QByteArray run(SimCore &core, const QByteArray &in) {
    return sim::line_output(core.feed(in));
}

} // namespace

class TestSimCore : public QObject {
    Q_OBJECT
private slots:
    void replies_data();
    void replies();
    void storedValueIsReadBack();
    void droppedWriteStillStores();
    void otherConcentratorAddress();
    void chunkedAtEverySplitPoint_data();
    void chunkedAtEverySplitPoint();
    void faults_data();
    void faults();
    void splitReplyWrites();
    void events();
    void instrumentOption_data();
    void instrumentOption();
    void addedInstrumentAnswers();
    void readableLog();
    void halfDuplexBus_data();
    void halfDuplexBus();
    void settingsMismatch();
};

void TestSimCore::replies_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("default TEST: read PV through the concentrator")
        << hx(kReadPvConc) << hx(kDefaultReply);
    QTest::newRow("read PV direct") << hx(kReadPvDirect) << hx(kDirectReply);
    // STX 00203 2.3 00394 ETB
    QTest::newRow("read PV address 002 channel 03")
        << hx("11 30 30 32 30 33 03 03") << hx("02 30 30 32 30 33 32 2e 33 30 30 33 39 34 17");
    QTest::newRow("read parameter through the concentrator")
        << hx(kReadParConc) << hx(kReadParReply);
    // STX 00304 US 20 US 0020.0 00697 ETB
    QTest::newRow("read parameter 20 of 003/04")
        << hx("12 30 30 33 30 34 1f 32 30 03 03")
        << hx("02 30 30 33 30 34 1f 32 30 1f 30 30 32 30 2e 30 30 30 36 39 37 17");
    QTest::newRow("write through the concentrator: ACK") << hx(kWriteConc) << hx("14 30 31 06");
    QTest::newRow("write direct: ACK") << hx(kWriteDirect) << hx("06");
    QTest::newRow("write with an empty value (sum 00451): ACK")
        << hx("13 30 30 31 30 31 1f 30 31 1f 1f 30 30 34 35 31 03 03") << hx("06");
    QTest::newRow("write, sum one too high: NAK")
        << hx("14 30 31 13 30 30 31 30 31 1f 30 31 1f 30 30 30 30 2e 30 1f 30 30 38 35 35 03 03")
        << hx("14 30 31 15");
    QTest::newRow("write, sum without the prefix: NAK")
        << hx("14 30 31 13 30 30 31 30 31 1f 30 31 1f 30 30 30 30 2e 30 1f 30 30 37 33 37 03 03")
        << hx("14 30 31 15");
    QTest::newRow("write, sum field not digits: NAK")
        << hx("13 30 30 31 30 31 1f 30 31 1f 30 30 30 30 2e 30 1f 20 30 37 33 37 03 03")
        << hx("15");
    QTest::newRow("write parameter 21 (none): NAK")
        << hx("13 30 30 31 30 31 1f 32 31 1f 30 30 30 30 2e 30 1f 30 30 37 33 39 03 03")
        << hx("15");
    QTest::newRow("write channel 05 (none): NAK")
        << hx("13 30 30 31 30 35 1f 30 31 1f 30 30 30 30 2e 30 1f 30 30 37 34 31 03 03")
        << hx("15");
    QTest::newRow("write a 17-character value: NAK")
        << hx("13 30 30 31 30 31 1f 30 31 1f 31 32 33 34 35 36 37 38 39 30 31 32 33 34 35 36 37 "
              "1f 30 31 33 34 30 03 03")
        << hx("15");
    QTest::newRow("read parameter 21 (none): NAK")
        << hx("12 30 30 31 30 31 1f 32 31 03 03") << hx("15");
    QTest::newRow("read PV channel 05 (none): NAK through the concentrator")
        << hx("14 30 31 11 30 30 31 30 35 03 03") << hx("14 30 31 15");

    QTest::newRow("other concentrator address: silence")
        << hx("14 30 32 11 30 30 31 30 31 03 03") << QByteArray();
    QTest::newRow("unknown address 004: silence") << hx("11 30 30 34 30 31 03 03") << QByteArray();
    QTest::newRow("unknown address 004 through the concentrator: silence")
        << hx("14 30 31 11 30 30 34 30 31 03 03") << QByteArray();
    QTest::newRow("write to unknown address 004: silence")
        << hx("13 30 30 34 30 31 1f 30 31 1f 30 30 30 30 2e 30 1f 30 30 37 34 30 03 03")
        << QByteArray();
    QTest::newRow("prefix without a function block: silence")
        << hx("14 30 31 03 03") << QByteArray();
    QTest::newRow("lone ETX: silence") << hx("03") << QByteArray();
    QTest::newRow("address of two digits: silence") << hx("11 30 31 30 31 03 03") << QByteArray();
    QTest::newRow("read PV with a parameter: silence")
        << hx("11 30 30 31 30 31 1f 30 31 03 03") << QByteArray();
    QTest::newRow("read parameter without US: silence")
        << hx("12 30 30 31 30 31 30 31 03 03") << QByteArray();
    QTest::newRow("address with a letter: silence")
        << hx("11 30 41 31 30 31 03 03") << QByteArray();
    QTest::newRow("AT command line: silence") << QByteArray("+++ATDT5550123\r\n") << QByteArray();

    QTest::newRow("noise and ETX before the frame are skipped")
        << hx("41 42 0d 0a 03 03 00 ff") + hx(kReadPvConc) << hx(kDefaultReply);
    QTest::newRow("a broken frame is given up at the next start")
        << hx("11 30 30 11 30 30 31 30 31 03 03") << hx(kDirectReply);
    QTest::newRow("a broken prefix is given up at the next DC4")
        << hx("14 30 14 30 31 11 30 30 31 30 31 03 03") << hx(kDefaultReply);
    QTest::newRow("an endless frame is given up, the next one answered")
        << hx("11") + QByteArray(100, '7') + hx(kReadPvDirect) << hx(kDirectReply);
    QTest::newRow("two requests in one piece")
        << hx(kReadPvDirect) + hx(kReadPvConc) << hx(kDirectReply) + hx(kDefaultReply);
}

void TestSimCore::replies() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    SimCore core;
    QCOMPARE(run(core, request).toHex(' '), reply.toHex(' '));
}

void TestSimCore::storedValueIsReadBack() {
    SimCore core;
    const QByteArray readP05 = hx("12 30 30 32 30 33 1f 30 35 03 03");
    // STX 00203 US 05 US 0005.0 00701 ETB
    QCOMPARE(run(core, readP05),
             hx("02 30 30 32 30 33 1f 30 35 1f 30 30 30 35 2e 30 30 30 37 30 31 17"));
    // DC3 00203 US 05 US 0123.4 US 00754
    QCOMPARE(
        run(core, hx("13 30 30 32 30 33 1f 30 35 1f 30 31 32 33 2e 34 1f 30 30 37 35 34 03 03")),
        hx("06"));
    // STX 00203 US 05 US 0123.4 00706 ETB
    QCOMPARE(run(core, readP05),
             hx("02 30 30 32 30 33 1f 30 35 1f 30 31 32 33 2e 34 30 30 37 30 36 17"));
    // The same parameter of another channel keeps its value.
    QCOMPARE(run(core, hx("12 30 30 32 30 34 1f 30 35 03 03")),
             hx("02 30 30 32 30 34 1f 30 35 1f 30 30 30 35 2e 30 30 30 37 30 32 17"));

    // Through the concentrator, with a sign in the value: DC4 01 DC3 00203 US 05 US -12.5 US 00818
    QCOMPARE(run(core, hx("14 30 31 13 30 30 32 30 33 1f 30 35 1f 2d 31 32 2e 35 1f 30 30 38 31 38 "
                          "03 03")),
             hx("14 30 31 06"));
    QCOMPARE(run(core, hx("14 30 31 12 30 30 32 30 33 1f 30 35 03 03")),
             hx("14 30 31 02 30 30 32 30 33 1f 30 35 1f 2d 31 32 2e 35 30 30 37 37 30 17"));

    // A refused write stores nothing: sum 00755 instead of 00754.
    QCOMPARE(
        run(core, hx("13 30 30 32 30 33 1f 30 35 1f 39 39 39 39 2e 39 1f 30 30 37 35 34 03 03")),
        hx("15"));
    QCOMPARE(run(core, hx("14 30 31 12 30 30 32 30 33 1f 30 35 03 03")),
             hx("14 30 31 02 30 30 32 30 33 1f 30 35 1f 2d 31 32 2e 35 30 30 37 37 30 17"));

    // An empty value is stored as empty: STX 00101 US 01 US 00403 ETB.
    QCOMPARE(run(core, hx("13 30 30 31 30 31 1f 30 31 1f 1f 30 30 34 35 31 03 03")), hx("06"));
    QCOMPARE(run(core, hx("12 30 30 31 30 31 1f 30 31 03 03")),
             hx("02 30 30 31 30 31 1f 30 31 1f 30 30 34 30 33 17"));
}

void TestSimCore::droppedWriteStillStores() {
    // The instrument took the write; only its ACK was lost on the line.
    Faults f;
    f.dropEvery = 1;
    SimCore core(sim::standard_bus(), 1, f);
    const QList<Event> ev =
        core.feed(hx("13 30 30 32 30 33 1f 30 35 1f 30 31 32 33 2e 34 1f 30 30 37 35 34 03 03"));
    QCOMPARE(sim::line_output(ev), QByteArray());
    QCOMPARE(core.bus()[2].channels[3].parameters[5], QByteArray("0123.4"));
}

void TestSimCore::otherConcentratorAddress() {
    SimCore core(sim::standard_bus(), 2);
    QCOMPARE(run(core, hx(kReadPvConc)), QByteArray());
    // DC4 02 STX 00101 23.4 00561 ETB: the sum starts at the DC4.
    QCOMPARE(run(core, hx("14 30 32 11 30 30 31 30 31 03 03")).toHex(' '),
             QByteArray("14 30 32 02 30 30 31 30 31 32 33 2e 34 30 30 35 36 31 17"));
    // Without the prefix the concentrator's address plays no part.
    QCOMPARE(run(core, hx(kReadPvDirect)), hx(kDirectReply));
}

void TestSimCore::chunkedAtEverySplitPoint_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("default read PV") << hx(kReadPvConc) << hx(kDefaultReply);
    QTest::newRow("read parameter") << hx(kReadParConc) << hx(kReadParReply);
    QTest::newRow("write") << hx(kWriteConc) << hx("14 30 31 06");
    QTest::newRow("noise, then read PV direct")
        << QByteArray("AT\r\n") + hx("03 14 30") + hx(kReadPvDirect) << hx(kDirectReply);
}

void TestSimCore::chunkedAtEverySplitPoint() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    for (qsizetype cut = 1; cut < request.size(); ++cut) {
        SimCore core;
        const QByteArray first = run(core, request.left(cut));
        const QByteArray second = run(core, request.mid(cut));
        QVERIFY2(first + second == reply, qPrintable(QStringLiteral("split at %1").arg(cut)));
    }
    SimCore core;
    QByteArray byByte;
    for (char c : request)
        byByte += run(core, QByteArray(1, c));
    QCOMPARE(byByte, reply);
}

void TestSimCore::faults_data() {
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<QList<QByteArray>>("requests");
    QTest::addColumn<QList<QByteArray>>("outputs");

    Faults echo;
    echo.echo = true;
    QTest::newRow("echo of every byte before the reply")
        << echo << QList<QByteArray>{hx(kReadPvConc)}
        << QList<QByteArray>{hx(kReadPvConc) + hx(kDefaultReply)};
    QTest::newRow("echo of noise alone") << echo << QList<QByteArray>{QByteArray("AT\r\n")}
                                         << QList<QByteArray>{QByteArray("AT\r\n")};

    Faults badSum2;
    badSum2.badSumEvery = 2;
    const QByteArray bad560 = hx("14 30 31 02 30 30 31 30 31 32 33 2e 34 30 30 35 36 31 17");
    QTest::newRow("every second sum one too high")
        << badSum2 << QList<QByteArray>(4, hx(kReadPvConc))
        << QList<QByteArray>{hx(kDefaultReply), bad560, hx(kDefaultReply), bad560};
    QTest::newRow("a write whose check comes out wrong: NAK")
        << badSum2 << QList<QByteArray>{hx(kWriteConc), hx(kWriteConc), hx(kWriteConc)}
        << QList<QByteArray>{hx("14 30 31 06"), hx("14 30 31 15"), hx("14 30 31 06")};

    Faults drop3;
    drop3.dropEvery = 3;
    QTest::newRow("every third reply dropped")
        << drop3
        << QList<QByteArray>{hx(kReadPvConc), hx(kWriteConc), hx(kReadPvDirect), hx(kReadPvConc)}
        << QList<QByteArray>{hx(kDefaultReply), hx("14 30 31 06"), QByteArray(), hx(kDefaultReply)};
    QTest::newRow("silence is not counted as a reply")
        << drop3
        << QList<QByteArray>{hx(kReadPvConc), hx("11 30 30 34 30 31 03 03"), hx(kReadPvConc),
                             hx(kReadPvConc)}
        << QList<QByteArray>{hx(kDefaultReply), QByteArray(), hx(kDefaultReply), QByteArray()};

    Faults split;
    split.split = 4;
    QTest::newRow("split reply: same bytes")
        << split << QList<QByteArray>{hx(kReadPvConc)} << QList<QByteArray>{hx(kDefaultReply)};
}

void TestSimCore::faults() {
    QFETCH(Faults, faults);
    QFETCH(QList<QByteArray>, requests);
    QFETCH(QList<QByteArray>, outputs);
    SimCore core(sim::standard_bus(), 1, faults);
    QCOMPARE(requests.size(), outputs.size());
    for (qsizetype i = 0; i < requests.size(); ++i)
        QCOMPARE(run(core, requests[i]).toHex(' '), outputs[i].toHex(' '));
}

void TestSimCore::splitReplyWrites() {
    Faults f;
    f.split = 3;
    SimCore core(sim::standard_bus(), 1, f);
    const QList<Event> ev = core.feed(hx(kReadPvConc));
    const auto answered = std::find_if(ev.begin(), ev.end(),
                                       [](const Event &e) { return e.kind == Event::Answered; });
    QVERIFY(answered != ev.end());
    // 19 bytes in three writes of 6, 6 and 7.
    QCOMPARE(answered->writes, (QList<QByteArray>{hx("14 30 31 02 30 30"), hx("31 30 31 32 33 2e"),
                                                  hx("34 30 30 35 36 30 17")}));

    // Never more writes than bytes: an ACK reply of one byte is one write.
    Faults many;
    many.split = 10;
    SimCore direct(sim::standard_bus(), 1, many);
    const QList<Event> ack = direct.feed(hx(kWriteDirect));
    QCOMPARE(sim::line_output(ack), hx("06"));
    for (const Event &e : ack)
        if (e.kind == Event::Answered) QCOMPARE(e.writes.size(), 1);
}

void TestSimCore::events() {
    // What the log is made from: the skipped bytes, the frame and its reply.
    SimCore core;
    const QList<Event> ev = core.feed(QByteArray("AT\r\n") + hx(kReadPvConc));
    QCOMPARE(ev.size(), 3);
    QCOMPARE(ev[0].kind, Event::Skipped);
    QCOMPARE(ev[0].bytes, QByteArray("AT\r\n"));
    QCOMPARE(ev[1].kind, Event::Answered);
    QCOMPARE(ev[1].bytes, hx("14 30 31 11 30 30 31 30 31 03"));
    QCOMPARE(ev[1].reply, hx(kDefaultReply));
    QCOMPARE(ev[2].kind, Event::Skipped);
    QCOMPARE(ev[2].bytes, hx("03"));

    const QList<Event> silent = core.feed(hx("11 30 30 39 30 31 03"));
    QCOMPARE(silent.size(), 1);
    QCOMPARE(silent[0].kind, Event::Silent);
    QVERIFY(silent[0].note.contains(QStringLiteral("009")));
}

void TestSimCore::instrumentOption_data() {
    QTest::addColumn<QString>("desc");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("parameters");
    QTest::addColumn<QByteArray>("pv1"); // channel 01's process value
    QTest::newRow("all parts") << "7:2:10:99.9" << true << 7 << 2 << 10 << QByteArray("99.9");
    QTest::newRow("address only") << "12" << true << 12 << 4 << 20 << QByteArray("12.1");
    QTest::newRow("address and channels")
        << "999:1" << true << 999 << 1 << 20 << QByteArray("999.1");
    QTest::newRow("no parameters") << "5:3:0" << true << 5 << 3 << 0 << QByteArray("5.1");
    QTest::newRow("empty") << "" << false << 0 << 0 << 0 << QByteArray();
    QTest::newRow("not a number") << "x" << false << 0 << 0 << 0 << QByteArray();
    QTest::newRow("address 1000") << "1000" << false << 0 << 0 << 0 << QByteArray();
    QTest::newRow("no channels") << "7:0" << false << 0 << 0 << 0 << QByteArray();
    QTest::newRow("100 parameters") << "7:1:100" << false << 0 << 0 << 0 << QByteArray();
    QTest::newRow("empty PV") << "7:2:10:" << false << 0 << 0 << 0 << QByteArray();
    QTest::newRow("PV with a control character")
        << "7:2:10:1\x03" << false << 0 << 0 << 0 << QByteArray();
    QTest::newRow("five parts") << "1:2:3:4:5" << false << 0 << 0 << 0 << QByteArray();
}

void TestSimCore::instrumentOption() {
    QFETCH(QString, desc);
    QFETCH(bool, valid);
    const auto parsed = sim::parse_instrument(desc);
    QCOMPARE(parsed.has_value(), valid);
    if (!valid) return;
    QFETCH(int, address);
    QFETCH(int, channels);
    QFETCH(int, parameters);
    QFETCH(QByteArray, pv1);
    QCOMPARE(parsed->first, address);
    QCOMPARE(parsed->second.channels.size(), channels);
    QCOMPARE(parsed->second.channels.first().parameters.size(), parameters);
    QCOMPARE(parsed->second.channels.value(1).pv, pv1);
}

void TestSimCore::addedInstrumentAnswers() {
    sim::Bus bus = sim::standard_bus();
    const auto added = sim::parse_instrument(QStringLiteral("7:2:10:99.9"));
    QVERIFY(added);
    bus[added->first] = added->second;
    const auto replaced = sim::parse_instrument(QStringLiteral("1:1"));
    QVERIFY(replaced);
    bus[replaced->first] = replaced->second;
    SimCore core(bus);
    // STX 00702 99.9 00468 ETB
    QCOMPARE(run(core, hx("11 30 30 37 30 32 03 03")),
             hx("02 30 30 37 30 32 39 39 2e 39 30 30 34 36 38 17"));
    QCOMPARE(run(core, hx("11 30 30 37 30 33 03 03")), hx("15"));          // channel 03: none
    QCOMPARE(run(core, hx("12 30 30 37 30 31 1f 31 31 03 03")), hx("15")); // parameter 11: none
    // 001 replaced: one channel reading 1.1, channel 02 gone. STX 00101 1.1 00388 ETB
    QCOMPARE(run(core, hx(kReadPvDirect)), hx("02 30 30 31 30 31 31 2e 31 30 30 33 38 38 17"));
    QCOMPARE(run(core, hx("11 30 30 31 30 32 03 03")), hx("15"));
    // The others stay.
    QCOMPARE(run(core, hx("11 30 30 32 30 33 03 03")),
             hx("02 30 30 32 30 33 32 2e 33 30 30 33 39 34 17"));
}

void TestSimCore::readableLog() {
    QCOMPARE(sim::readable(hx(kDefaultReply)), QStringLiteral("<DC4>01<STX>0010123.400560<ETB>"));
    QCOMPARE(sim::readable(hx("00 06 15 1f 0d 0a 7f 80 ff 41")),
             QStringLiteral("<NUL><ACK><NAK><US><CR><LF><DEL><x80><xFF>A"));
    QCOMPARE(sim::hex(hx("14 30 31 06")), QStringLiteral("14 30 31 06"));
}

// Four request characters on the wire from 0 to 4 ms, four reply characters
// from 6 to 10 ms, 1 ms each; line changes at the given times.
void TestSimCore::halfDuplexBus_data() {
    QTest::addColumn<QString>("converter");
    QTest::addColumn<QStringList>("changes"); // "MS bis|bic|rs485 BITS"
    QTest::addColumn<int>("heard");           // request characters that reached the bus
    QTest::addColumn<int>("lost");            // reply characters drowned

    const QString rts0 = QStringLiteral("RTS=0");
    QTest::newRow("released at the last bit")
        << rts0 << QStringList{"-1 bic 4", "4 bis 4"} << 4 << 0;
    QTest::newRow("released 1.5 ms early")
        << rts0 << QStringList{"-1 bic 4", "2.5 bis 4"} << 2 << 0;
    QTest::newRow("released 1.5 ms into the reply")
        << rts0 << QStringList{"-1 bic 4", "7.5 bis 4"} << 4 << 2;
    QTest::newRow("never raised: the converter receives") << rts0 << QStringList() << 0 << 0;
    QTest::newRow("DTR=1 converter, RTS switched: DTR on from the opening")
        << "DTR=1" << QStringList{"-1 bic 4", "4 bis 4"} << 4 << 4;
    QTest::newRow("DTR=0 converter, DTR switched")
        << "DTR=0" << QStringList{"-1 bic 2", "4 bis 2"} << 4 << 0;
    QTest::newRow("automatic direction") << "auto" << QStringList() << 4 << 0;
    QTest::newRow("driver's RS-485 mode, RTS on while sending")
        << "RTS=1" << QStringList{"-1 rs485 3"} << 4 << 0;
    QTest::newRow("driver's RS-485 mode, converter on RTS off")
        << rts0 << QStringList{"-1 rs485 3"} << 0 << 4;
}

void TestSimCore::halfDuplexBus() {
    QFETCH(QString, converter);
    QFETCH(QStringList, changes);
    QFETCH(int, heard);
    QFETCH(int, lost);
    constexpr qint64 ms = 1'000'000;
    constexpr qint64 t0 = 10'000 * ms;
    sim::HalfDuplexBus bus(*sim::parse_converter(converter), 0);
    for (const QString &c : changes) {
        const QStringList f = c.split(u' ');
        const qint64 at = t0 + qint64(f[0].toDouble() * ms);
        if (f[1] == QLatin1String("rs485"))
            bus.rs485(at, f[2].toUInt());
        else
            bus.modemCall(at, f[1].toLatin1(), f[2].toUInt());
    }
    bus.consoleWrote(t0, "abcd", ms);
    int reached = 0;
    for (const sim::HalfDuplexBus::Char &c : bus.settledConsole(t0 + 100 * ms))
        reached += c.heard;
    QCOMPARE(reached, heard);
    bus.reply(t0 + 6 * ms, "wxyz", ms);
    int drowned = 0;
    QCOMPARE(bus.settledReply(t0 + 100 * ms, &drowned).size(), 4 - lost);
    QCOMPARE(drowned, lost);
}

void TestSimCore::settingsMismatch() {
    const LineSettings instruments = *parse_settings(QStringLiteral("4800,e,8,1"));
    // A pseudo-terminal shows neither parity nor data bits.
    QVERIFY(sim::settings_mismatch(instruments, *parse_settings("4800,n,8,1"), false).isEmpty());
    QCOMPARE(sim::settings_mismatch(instruments, *parse_settings("4800,n,8,1"), true),
             QStringLiteral("控制台 4800,n,8,1，仪表 4800,e,8,1"));
    QVERIFY(!sim::settings_mismatch(instruments, *parse_settings("4800,e,8,2"), false).isEmpty());
    QVERIFY(!sim::settings_mismatch(instruments, *parse_settings("9600,e,8,1"), false).isEmpty());
}

QTEST_MAIN(TestSimCore)
#include "tst_sim_core.moc"
