// Request frames: number reading, digit writing, sums, composition and the
// frames that cannot be sent.
#include "controls.h"
#include "fakeserialport.h"
#include "frame.h"
#include "messages.h"
#include "transaction.h"

#include "frametable.h"
#include <QProcess>
#include <QTemporaryDir>

#include <QtTest>
#include <clocale>
#include <cmath>
#include <limits>
#include <optional>

namespace {

// The window as the transaction sees it, without widgets.
struct Sink : TextSink {
    QByteArray text;
    void insert(const QByteArray &bytes) override { text += bytes; }
};
struct Flag : WaitFlag {
    bool on = false;
    bool running() const override { return on; }
    void start() override { on = true; }
    void stop() override { on = false; }
};

// The fields a row of a table changes; the others keep their defaults.
struct Change {
    std::optional<QString> model, function, address, channel, parameter, value, concentrator;
};

Selection with(const Change &c) {
    Selection s;
    auto set = [](QString &field, const std::optional<QString> &v) {
        if (v) field = *v;
    };
    set(s.model, c.model);
    set(s.function, c.function);
    set(s.address, c.address);
    set(s.channel, c.channel);
    set(s.parameter, c.parameter);
    set(s.value, c.value);
    set(s.concentrator, c.concentrator);
    return s;
}

// Head of the write frame with an instrument model and the default numbers, up to
// the US after the parameter number; its codes add up to 420.
const char *const kWriteHead = "13 30 30 31 30 31 1F 30 31 1F";

QByteArray writeFrame(const QByteArray &value, const char *sumAndEtx) {
    return hex(kWriteHead) + value + hex("1F") + hex(sumAndEtx);
}

} // namespace

Q_DECLARE_METATYPE(Selection)

class TestFrame : public QObject {
    Q_OBJECT
private slots:
    void defaultFrames_data();
    void defaultFrames();
    void furtherCases_data();
    void furtherCases();
    void leadingNumber_data();
    void leadingNumber();
    void leadingNumberIgnoresLocale();
    void digitText_data();
    void digitText();
    void frameSum_data();
    void frameSum();
    void refusals_data();
    void refusals();
    void replyAsValues_data();
    void replyAsValues();
};

void TestFrame::defaultFrames_data() {
    addDefaultFrameRows();
}

// Composition alone, and the whole protocol-side transaction with a recording
// port: the frame lands in sendbuf and the send window, frame + ETX on the line.
void TestFrame::defaultFrames() {
    QFETCH(QString, model);
    QFETCH(QString, function);
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, wire);

    Selection sel;
    sel.model = model;
    sel.function = function;
    QByteArray sendbuf;
    QVERIFY(!compose_frame(sel, sendbuf));
    QCOMPARE(sendbuf.toHex(' '), frame.toHex(' '));

    FakeSerialPort port;
    Flag timer;
    Sink trs, rec;
    Transaction tx(port, timer, trs, rec);
    const TestOutcome r = tx.test(sel);
    QCOMPARE(r.status, TestOutcome::Sent);
    QCOMPARE(tx.sendbuf().toHex(' '), frame.toHex(' '));
    QCOMPARE(trs.text.toHex(' '), (frame + "\r\n").toHex(' '));
    QCOMPARE(port.writes.size(), 1);
    QCOMPARE(port.writes.first().toHex(' '), wire.toHex(' '));
    QVERIFY(timer.on);
    QVERIFY(rec.text.isEmpty());
}

void TestFrame::furtherCases_data() {
    QTest::addColumn<Selection>("sel");
    QTest::addColumn<QByteArray>("frame");

    const QString pm = QStringLiteral("PM-01");
    auto addr = [&](const char *name, const char *text, const char *frame) {
        QTest::newRow(name) << with({pm, kRead, QString::fromUtf8(text), {}, {}, {}, {}})
                            << hex(frame);
    };
    addr("address 1", "1", "11 30 30 31 30 31 03");
    addr("address 12", "12", "11 30 31 32 30 31 03");
    addr("address 999", "999", "11 39 39 39 30 31 03");
    addr("address 007", "007", "11 30 30 37 30 31 03");
    addr("address 3A", "3A", "11 30 30 33 30 31 03");
    addr("address 1000", "1000", "11 3A 30 30 30 31 03");
    addr("address -5", "-5", "11 2F 39 35 30 31 03");
    addr("address abc", "abc", "11 30 30 30 30 31 03");
    addr("address x12", "x12", "11 30 30 30 30 31 03");
    addr("address empty", "", "11 30 30 30 30 31 03");
    addr("address blank 1 blank 2", " 1 2", "11 30 31 32 30 31 03");
    addr("address 12,5", "12,5", "11 30 31 32 30 31 03");
    addr("address 1.5 to even", "1.5", "11 30 30 32 30 31 03");
    addr("address 2.5 to even", "2.5", "11 30 30 32 30 31 03");
    addr("address 0.5 to even", "0.5", "11 30 30 30 30 31 03");
    addr("address 7.5 to even", "7.5", "11 30 30 38 30 31 03");
    addr("address 9.5 carries to colon", "9.5", "11 30 30 3A 30 31 03");
    addr("address 1e2", "1e2", "11 31 30 30 30 31 03");
    // Still inside 0..127: the first character may be DEL or NUL.
    addr("address 7999 gives DEL", "7999", "11 7F 39 39 30 31 03");
    addr("address -4800 gives NUL", "-4800", "11 00 30 30 30 31 03");

    auto chan = [&](const char *name, const char *text, const char *frame) {
        QTest::newRow(name) << with({pm, kRead, {}, QString::fromUtf8(text), {}, {}, {}})
                            << hex(frame);
    };
    chan("channel 1", "1", "11 30 30 31 30 31 03");
    chan("channel 123", "123", "11 30 30 31 3C 33 03");
    chan("channel 100", "100", "11 30 30 31 3A 30 03");
    chan("channel -5", "-5", "11 30 30 31 2F 35 03");
    chan("channel 799 gives DEL", "799", "11 30 30 31 7F 39 03");
    chan("channel -480 gives NUL", "-480", "11 30 30 31 00 30 03");

    QTest::newRow("parameter 123")
        << with({pm, kReadPar, {}, {}, "123", {}, {}}) << hex("12 30 30 31 30 31 1F 3C 33 03");
    QTest::newRow("parameter 7") << with({pm, kReadPar, {}, {}, "7", {}, {}})
                                 << hex("12 30 30 31 30 31 1F 30 37 03");
    QTest::newRow("concentrator 5")
        << with({"LNKCTRL", kRead, {}, {}, {}, {}, "5"}) << hex("14 30 35 11 30 30 31 30 31 03");
    QTest::newRow("concentrator 799 gives DEL")
        << with({"LNKCTRL", kRead, {}, {}, {}, {}, "799"}) << hex("14 7F 39 11 30 30 31 30 31 03");

    // Fields the frame does not use are not read: out-of-range or non-ASCII
    // texts there change nothing and refuse nothing.
    QTest::newRow("parameter unused by DC1")
        << with({pm, kRead, {}, {}, "800", QStringLiteral("温度"), {}})
        << hex("11 30 30 31 30 31 03");
    QTest::newRow("value unused by DC2")
        << with({pm, kReadPar, {}, {}, {}, QStringLiteral("温度"), {}})
        << hex("12 30 30 31 30 31 1F 30 31 03");
    QTest::newRow("concentrator unused without LNKCTRL")
        << with({pm, kRead, {}, {}, {}, {}, "9000"}) << hex("11 30 30 31 30 31 03");

    QTest::newRow("empty value") << with({pm, kWrite, {}, {}, {}, "", {}})
                                 << hex("13 30 30 31 30 31 1F 30 31 1F 1F 30 30 34 35 31 03");
    // 451 + '1' '2' ',' '5' = 647; 451 + 'a' 'b' 'c' = 745.
    QTest::newRow("value 12,5 as typed")
        << with({pm, kWrite, {}, {}, {}, "12,5", {}})
        << hex("13 30 30 31 30 31 1F 30 31 1F 31 32 2C 35 1F 30 30 36 34 37 03");
    QTest::newRow("value abc as typed")
        << with({pm, kWrite, {}, {}, {}, "abc", {}})
        << hex("13 30 30 31 30 31 1F 30 31 1F 61 62 63 1F 30 30 37 34 35 03");
    // 451 + 816 * 'z' = 100003; 451 + 898 * 'z' = 110007; 451 + 6553 * 'z' + 'R' = 799999.
    QTest::newRow("six-digit sum 10xxxx gives colon")
        << with({pm, kWrite, {}, {}, {}, QString(816, 'z'), {}})
        << writeFrame(QByteArray(816, 'z'), "3A 30 30 30 33 03");
    QTest::newRow("six-digit sum 11xxxx gives semicolon")
        << with({pm, kWrite, {}, {}, {}, QString(898, 'z'), {}})
        << writeFrame(QByteArray(898, 'z'), "3B 30 30 30 37 03");
    QTest::newRow("sum 799999 gives DEL")
        << with({pm, kWrite, {}, {}, {}, QString(6553, 'z') + 'R', {}})
        << writeFrame(QByteArray(6553, 'z') + 'R', "7F 39 39 39 39 03");

    QTest::newRow("lnkctrl lower case: no prefix")
        << with({"lnkctrl", kRead, {}, {}, {}, {}, "800"}) << hex("11 30 30 31 30 31 03");
    QTest::newRow("LNKCTRL with a space: no prefix")
        << with({"LNKCTRL ", kRead, {}, {}, {}, {}, "800"}) << hex("11 30 30 31 30 31 03");
    QTest::newRow("typed model: no prefix")
        << with({"XYZ", kReadPar, {}, {}, {}, {}, {}}) << hex("12 30 30 31 30 31 1F 30 31 03");

    QTest::newRow("unmatched function with LNKCTRL: prefix only")
        << with({"LNKCTRL", "DC1", "8000", "800", {}, {}, "7"}) << hex("14 30 37");
    QTest::newRow("unmatched function, instrument model: empty")
        << with({pm, "DC1", "8000", {}, {}, {}, {}}) << QByteArray();
    QTest::newRow("function with a trailing space: empty")
        << with({pm, kRead + ' ', {}, {}, {}, {}, {}}) << QByteArray();
}

void TestFrame::furtherCases() {
    QFETCH(Selection, sel);
    QFETCH(QByteArray, frame);
    QByteArray sendbuf;
    const auto refusal = compose_frame(sel, sendbuf);
    QVERIFY2(!refusal, refusal ? qPrintable(refusal->text) : "");
    QCOMPARE(sendbuf.size(), frame.size());
    QCOMPARE(sendbuf.toHex(' '), frame.toHex(' '));
}

void TestFrame::leadingNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("number");
    const double inf = std::numeric_limits<double>::infinity();

    QTest::newRow("12,5") << "12,5" << 12.0;
    QTest::newRow("1,5 comma ends") << "1,5" << 1.0;
    QTest::newRow("1.5") << "1.5" << 1.5;
    QTest::newRow("007") << "007" << 7.0;
    QTest::newRow("3A") << "3A" << 3.0;
    QTest::newRow("blank 1 blank 2") << " 1 2" << 12.0;
    QTest::newRow("tab and line feed removed") << "\t1\n2" << 12.0;
    QTest::newRow("blanks inside exponent") << "1 e 3" << 1000.0;
    QTest::newRow("sign then blank") << "- 5" << -5.0;
    QTest::newRow("CR is not a blank") << "1\r2" << 1.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("blanks only") << "  \t" << 0.0;
    QTest::newRow("abc") << "abc" << 0.0;
    QTest::newRow("x12") << "x12" << 0.0;
    QTest::newRow("inf") << "inf" << 0.0;
    QTest::newRow("INFINITY") << "INFINITY" << 0.0;
    QTest::newRow("-inf") << "-inf" << 0.0;
    QTest::newRow("nan") << "nan" << 0.0;
    QTest::newRow("0x1A") << "0x1A" << 0.0;
    QTest::newRow("1e3") << "1e3" << 1000.0;
    QTest::newRow("1E3") << "1E3" << 1000.0;
    QTest::newRow("1e+3") << "1e+3" << 1000.0;
    QTest::newRow("25e-1") << "25e-1" << 2.5;
    QTest::newRow("1.5e1") << "1.5e1" << 15.0;
    QTest::newRow("1e without digits") << "1e" << 1.0;
    QTest::newRow("1e+ without digits") << "1e+" << 1.0;
    QTest::newRow("1e3.5") << "1e3.5" << 1000.0;
    QTest::newRow("+5") << "+5" << 5.0;
    QTest::newRow("-5") << "-5" << -5.0;
    QTest::newRow("minus alone") << "-" << 0.0;
    QTest::newRow("plus alone") << "+" << 0.0;
    QTest::newRow("two signs") << "--5" << 0.0;
    QTest::newRow("1. point without digits") << "1." << 1.0;
    QTest::newRow("1.e3 point without digits") << "1.e3" << 1.0;
    QTest::newRow(".5 no leading digit") << ".5" << 0.0;
    QTest::newRow("1.5.5") << "1.5.5" << 1.5;
    QTest::newRow("full-width digits") << "１２" << 0.0;
    QTest::newRow("digit then full-width") << "1２" << 1.0;
    QTest::newRow("1e999 overflows") << "1e999" << inf;
    QTest::newRow("-1e999 overflows") << "-1e999" << -inf;
    QTest::newRow("1e-999 underflows") << "1e-999" << 0.0;
}

void TestFrame::leadingNumber() {
    QFETCH(QString, text);
    QFETCH(double, number);
    const double got = leading_number(text);
    QVERIFY2(got == number, qPrintable(QStringLiteral("got %1").arg(got)));
}

// A locale with a decimal comma must not change how "1.5" reads. Debian's
// minimal images ship no such locale, so build one if needed.
void TestFrame::leadingNumberIgnoresLocale() {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    QTemporaryDir dir;
    const char *name = std::setlocale(LC_ALL, "de_DE.UTF-8");
    if (!name && dir.isValid()) {
        const int rc =
            QProcess::execute(QStringLiteral("localedef"),
                              {"-i", "de_DE", "-f", "UTF-8", dir.filePath("de_DE.UTF-8")});
        if (rc == 0) {
            qputenv("LOCPATH", dir.path().toLocal8Bit());
            name = std::setlocale(LC_ALL, "de_DE.UTF-8");
        }
    }
    if (!name) {
        std::setlocale(LC_ALL, before.c_str());
        QSKIP("no German locale available and localedef failed");
    }
    const std::string decimalPoint = std::localeconv()->decimal_point;
    const double onePointFive = leading_number(QStringLiteral("1.5"));
    const double oneCommaFive = leading_number(QStringLiteral("1,5"));
    const double exponent = leading_number(QStringLiteral("2.5e1"));
    std::setlocale(LC_ALL, before.c_str());
    qunsetenv("LOCPATH");

    QCOMPARE(decimalPoint, std::string(",")); // the locale really was in force
    QCOMPARE(onePointFive, 1.5);
    QCOMPARE(oneCommaFive, 1.0);
    QCOMPARE(exponent, 25.0);
}

void TestFrame::digitText_data() {
    QTest::addColumn<double>("v");
    QTest::addColumn<int>("w");
    QTest::addColumn<QByteArray>("digits");

    QTest::newRow("1 w3") << 1.0 << 3 << QByteArray("001");
    QTest::newRow("999 w3") << 999.0 << 3 << QByteArray("999");
    QTest::newRow("0 w5") << 0.0 << 5 << QByteArray("00000");
    QTest::newRow("737 w5") << 737.0 << 5 << QByteArray("00737");
    QTest::newRow("854 w5") << 854.0 << 5 << QByteArray("00854");
    QTest::newRow("99999 w5") << 99999.0 << 5 << QByteArray("99999");
    QTest::newRow("1000 w3") << 1000.0 << 3 << QByteArray(":00");
    QTest::newRow("-5 w3") << -5.0 << 3 << QByteArray("/95");
    QTest::newRow("123 w2") << 123.0 << 2 << QByteArray("<3");
    QTest::newRow("100 w2") << 100.0 << 2 << QByteArray(":0");
    QTest::newRow("100000 w5") << 100000.0 << 5 << QByteArray(":0000");
    QTest::newRow("119999 w5") << 119999.0 << 5 << QByteArray(";9999");
    QTest::newRow("0.5 w3") << 0.5 << 3 << QByteArray("000");
    QTest::newRow("1.5 w3") << 1.5 << 3 << QByteArray("002");
    QTest::newRow("2.5 w3") << 2.5 << 3 << QByteArray("002");
    QTest::newRow("7.5 w3") << 7.5 << 3 << QByteArray("008");
    QTest::newRow("9.5 w3") << 9.5 << 3 << QByteArray("00:");
    QTest::newRow("2.49 w2") << 2.49 << 2 << QByteArray("02");
    QTest::newRow("2.51 w2") << 2.51 << 2 << QByteArray("03");
    QTest::newRow("99.5 w2") << 99.5 << 2 << QByteArray("9:");
    QTest::newRow("-0.5 w2") << -0.5 << 2 << QByteArray("/:");
    QTest::newRow("7999 w3") << 7999.0 << 3 << hex("7F 39 39");
    QTest::newRow("-4800 w3") << -4800.0 << 3 << hex("00 30 30");
    QTest::newRow("799 w2") << 799.0 << 2 << hex("7F 39");
    QTest::newRow("-480 w2") << -480.0 << 2 << hex("00 30");
    QTest::newRow("799999 w5") << 799999.0 << 5 << hex("7F 39 39 39 39");
}

void TestFrame::digitText() {
    QFETCH(double, v);
    QFETCH(int, w);
    QFETCH(QByteArray, digits);
    const auto got = digit_text(v, w);
    QVERIFY(got);
    QCOMPARE(got->toHex(' '), digits.toHex(' '));
}

void TestFrame::frameSum_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<quint64>("sum");
    QTest::newRow("empty") << QByteArray() << quint64(0);
    QTest::newRow("write frame head, instrument")
        << hex("13 30 30 31 30 31 1F 30 31 1F 30 30 30 30 2E 30 1F") << quint64(737);
    QTest::newRow("write frame head, concentrator")
        << hex("14 30 31 13 30 30 31 30 31 1F 30 31 1F 30 30 30 30 2E 30 1F") << quint64(854);
    // Bytes count as 0..255, never as negative chars.
    QTest::newRow("high bytes") << hex("80 FF") << quint64(383);
    QTest::newRow("no wrap") << QByteArray(100000, '\xff') << quint64(25500000);
}

void TestFrame::frameSum() {
    QFETCH(QByteArray, text);
    QFETCH(quint64, sum);
    QCOMPARE(frame_sum(text), sum);
}

void TestFrame::refusals_data() {
    QTest::addColumn<Selection>("sel");
    QTest::addColumn<int>("reason");
    QTest::addColumn<int>("box");
    QTest::addColumn<QString>("text");

    const QString pm = QStringLiteral("PM-01");
    const int range = FrameRefusal::NumberOutOfRange;
    auto row = [](const char *name, const Change &c, int reason, Box box, const QString &text) {
        QTest::newRow(name) << with(c) << reason << int(box) << text;
    };
    row("address 8000", {pm, kRead, "8000", {}, {}, {}, {}}, range, Box::Address, "8000");
    row("address -4801", {pm, kRead, "-4801", {}, {}, {}, {}}, range, Box::Address, "-4801");
    row("address 1e999", {pm, kRead, "1e999", {}, {}, {}, {}}, range, Box::Address, "1e999");
    row("address 8000 in a write frame", {pm, kWrite, "8000", {}, {}, {}, {}}, range, Box::Address,
        "8000");
    row("channel 800", {pm, kRead, {}, "800", {}, {}, {}}, range, Box::Channel, "800");
    row("channel -481", {pm, kReadPar, {}, "-481", {}, {}, {}}, range, Box::Channel, "-481");
    row("channel -1e999", {pm, kRead, {}, "-1e999", {}, {}, {}}, range, Box::Channel, "-1e999");
    row("parameter 800", {pm, kReadPar, {}, {}, "800", {}, {}}, range, Box::Parameter, "800");
    row("parameter -481", {pm, kWrite, {}, {}, "-481", {}, {}}, range, Box::Parameter, "-481");
    row("concentrator 800", {"LNKCTRL", kRead, {}, {}, {}, {}, "800"}, range, Box::Concentrator,
        "800");
    row("concentrator -481", {"LNKCTRL", "DC1", {}, {}, {}, {}, "-481"}, range, Box::Concentrator,
        "-481");
    row("value with Chinese", {pm, kWrite, {}, {}, {}, QStringLiteral("12度"), {}},
        FrameRefusal::NotAscii, Box::Value, QStringLiteral("12度"));
    // Latin-1 but not ASCII: must not slip through as byte E9.
    row("value with e-acute", {pm, kWrite, {}, {}, {}, QStringLiteral("caf\u00e9"), {}},
        FrameRefusal::NotAscii, Box::Value, QStringLiteral("caf\u00e9"));
    row("value making sum 800000", {pm, kWrite, {}, {}, {}, QString(6553, 'z') + 'S', {}},
        FrameRefusal::SumTooLarge, Box::Value, QString(6553, 'z') + 'S');
    row("value of 20000 z", {pm, kWrite, {}, {}, {}, QString(20000, 'z'), {}},
        FrameRefusal::SumTooLarge, Box::Value, QString(20000, 'z'));
}

void TestFrame::refusals() {
    QFETCH(Selection, sel);
    QFETCH(int, reason);
    QFETCH(int, box);
    QFETCH(QString, text);

    QByteArray sendbuf;
    const auto r = compose_frame(sel, sendbuf);
    QVERIFY(r);
    QCOMPARE(int(r->reason), reason);
    QCOMPARE(int(r->box), box);
    QCOMPARE(r->text, text);

    // The user is told which box holds which text, and what it can carry.
    const QString message = refusal_message(*r, QStringLiteral("“CAPTION”框中的文本"));
    QVERIFY2(message.contains(QStringLiteral("“CAPTION”")), qPrintable(message));
    QVERIFY2(message.contains(text.left(60)), qPrintable(message));
    if (reason == FrameRefusal::NumberOutOfRange) {
        const QString range = r->box == Box::Address ? QStringLiteral("−4800 到 7999")
                                                     : QStringLiteral("−480 到 799");
        QVERIFY2(message.contains(range), qPrintable(message));
    }

    // Nothing reaches the port or either window, and the wait does not start.
    FakeSerialPort port;
    Flag timer;
    Sink trs, rec;
    Transaction tx(port, timer, trs, rec);
    const TestOutcome out = tx.test(sel);
    QCOMPARE(out.status, TestOutcome::Refused);
    QCOMPARE(int(out.refusal.box), box);
    QCOMPARE(port.log, QStringList());
    QVERIFY(trs.text.isEmpty());
    QVERIFY(!timer.on);
}

// What a reply comes to, as values: the verdict kind, the sum shown, the value
// of a read, and, for a tool that takes only its own replies, the frames that
// name another address (the wait goes on for the request's own).
void TestFrame::replyAsValues_data() {
    QTest::addColumn<QString>("function");
    QTest::addColumn<bool>("ownOnly");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("expected"); // kind sum value | strays | waiting

    const QByteArray own = hex("14 30 31 02 30 30 31 30 31 32 33 2e 34 30 30 35 36 30 17");
    const QByteArray other = hex("14 30 31 02 30 30 32 30 31 32 2e 31 30 30 35 30 37 17");
    QTest::newRow("read: value") << fn::readPv() << true << own << "1 00560 23.4 || done";
    QTest::newRow("read, sum one too high: no value")
        << fn::readPv() << true << hex("14 30 31 02 30 30 31 30 31 32 33 2e 34 30 30 35 36 31 17")
        << "2 00560 - || done";
    QTest::newRow("write: ACK, no value")
        << fn::writeParameter() << true << hex("14 30 31 06") << "3  - || done";
    QTest::newRow("NAK before ACK") << fn::readPv() << true << hex("15 06") << "4  - || done";
    QTest::newRow("another address: stray, still waiting")
        << fn::readPv() << true << other << "0  - |002/01| waiting";
    QTest::newRow("a stray, then the own reply in the same batch")
        << fn::readPv() << true << other + own << "1 00560 23.4 |002/01| done";
    QTest::newRow("another channel")
        << fn::readPv() << true << hex("14 30 31 02 30 30 31 30 32 31 2e 32 30 30 35 30 37 17")
        << "0  - |001/02| waiting";
    QTest::newRow("another concentrator")
        << fn::readPv() << true << hex("14 30 32 02 30 30 31 30 31 32 33 2e 34 30 30 35 36 31 17")
        << "0  - |001/01| waiting";
    QTest::newRow("another address, sum one too high: judged, no value")
        << fn::readPv() << true << hex("14 30 31 02 30 30 32 30 31 32 2e 31 30 30 35 30 38 17")
        << "2 00507 - || done";
    QTest::newRow("the console judges whatever comes")
        << fn::readPv() << false << other << "1 00507 2.1 || done";
}

void TestFrame::replyAsValues() {
    QFETCH(QString, function);
    QFETCH(bool, ownOnly);
    QFETCH(QByteArray, reply);
    QFETCH(QString, expected);

    FakeSerialPort port;
    Flag timer;
    Sink trs, rec;
    Transaction tx(port, timer, trs, rec);
    tx.setOwnRepliesOnly(ownOnly);
    Selection sel;
    sel.function = function;
    QCOMPARE(tx.test(sel).status, TestOutcome::Sent);
    QCOMPARE(tx.request(), port.writes.last());
    CommResult r;
    QObject::connect(&port, &SerialPort::comm, [&](int code) { r = tx.comm(code, sel.model); });
    port.receive(reply);

    QStringList strays;
    for (const CommResult::Stray &s : r.strays)
        strays << QString::fromLatin1(s.head.address + '/' + s.head.channel);
    const QString got =
        QStringLiteral("%1 %2 %3 |%4| %5")
            .arg(int(r.kind))
            .arg(QString::fromLatin1(r.sum),
                 r.value ? QString::fromLatin1(*r.value) : QStringLiteral("-"), strays.join(' '),
                 timer.on ? QStringLiteral("waiting") : QStringLiteral("done"));
    QCOMPARE(got, expected);
}

QTEST_GUILESS_MAIN(TestFrame)
#include "tst_frame.moc"
