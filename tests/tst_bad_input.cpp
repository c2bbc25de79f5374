// Hostile texts in every selection box of the real window: 100,000 characters,
// control characters, right-to-left marks and emoji. Each press of TEST (or of
// the AT button for the command box) gives a frame on the line or a clear
// refusal, never a crash, a hang or a silently altered text.
#include "fakeserialport.h"
#include "form1.h"

#include <QElapsedTimer>
#include <QMessageBox>
#include <QtTest>

namespace {

QByteArray hex(const char *spaced) {
    return QByteArray::fromHex(spaced);
}

const QString kRead = QStringLiteral("读PV(DC1)");
const QString kReadPar = QStringLiteral("读参数(DC2)");
const QString kWrite = QStringLiteral("写参数(DC3)");
const QString kRlm = QString(QChar(0x200F)); // right-to-left mark
const QString kLrm = QString(QChar(0x200E)); // left-to-right mark
const QString kRlo = QString(QChar(0x202E)); // right-to-left override
const QString kEmoji = QStringLiteral("😀");
const QString kFamily = QStringLiteral("👨‍👩‍👧"); // joined by ZWJ
const QString kNul = QString(QChar(0));
const QString kLoneSurrogate = QString(QChar(0xD800));

QString times(int n, const QString &s) {
    return s.repeated(n);
}
QString times(int n, char c) {
    return QString(n, QLatin1Char(c));
}

// Default wire form: LNKCTRL, read PV, address 001, channel 01.
const QByteArray kDefaultWire = hex("14 30 31 11 30 30 31 30 31 03 03");

bool has_bidi_control(const QString &s) {
    for (QChar c : s) {
        const char16_t u = c.unicode();
        if (u == 0x061C || u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E) ||
            (u >= 0x2066 && u <= 0x2069))
            return true;
    }
    return false;
}

bool has_control(const QString &s) {
    for (QChar c : s)
        if ((c.unicode() < 32 && c != QLatin1Char('\n')) || c.unicode() == 127) return true;
    return false;
}

} // namespace

class TestBadInput : public QObject {
    Q_OBJECT
private slots:
    void everyBox_data();
    void everyBox();
};

void TestBadInput::everyBox_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("function"); // Combo5, unless it is the box under test
    QTest::addColumn<QString>("outcome");  // sent, refused, at-sent, at-refused
    QTest::addColumn<QByteArray>("wire");  // what goes on the line when sent
    QTest::addColumn<QString>("says");     // what a refusal must name

    const QByteArray none;
    const QString noText;

    // Port: no text but "COMn" selects a port; the number stays, the frame goes.
    QTest::newRow("Combo1 100,000 characters")
        << "Combo1" << QStringLiteral("COM1") + times(99996, ' ') << kRead << "sent" << kDefaultWire
        << noText;
    QTest::newRow("Combo1 RLM") << "Combo1" << QStringLiteral("COM1") + kRlm << kRead << "sent"
                                << kDefaultWire << noText;
    QTest::newRow("Combo1 RLO") << "Combo1" << kRlo + QStringLiteral("COM1") << kRead << "sent"
                                << kDefaultWire << noText;
    QTest::newRow("Combo1 emoji") << "Combo1" << kEmoji << kRead << "sent" << kDefaultWire
                                  << noText;
    QTest::newRow("Combo1 NUL") << "Combo1" << QStringLiteral("COM") + kNul + QStringLiteral("1")
                                << kRead << "sent" << kDefaultWire << noText;

    // Settings: anything but a well-formed text is refused by the port.
    const QString settingsSay = QStringLiteral("不接受设置");
    QTest::newRow("Combo2 100,000 digits")
        << "Combo2" << times(100000, '9') << kRead << "refused" << none << settingsSay;
    QTest::newRow("Combo2 trailing blanks")
        << "Combo2" << QStringLiteral("9600,n,8,2") + times(99990, ' ') << kRead << "refused"
        << none << settingsSay;
    // Direction marks show as a visible sign instead of reordering the message.
    QTest::newRow("Combo2 RLM") << "Combo2" << QStringLiteral("9600,n,8,2") + kRlm << kRead
                                << "refused" << none
                                << QStringLiteral("9600,n,8,2\u27e8U+200F\u27e9");
    QTest::newRow("Combo2 RLO") << "Combo2" << kRlo + QStringLiteral("9600,n,8,2") << kRead
                                << "refused" << none << settingsSay;
    QTest::newRow("Combo2 emoji") << "Combo2" << QStringLiteral("9600,n,8,") + kEmoji << kRead
                                  << "refused" << none << settingsSay;
    QTest::newRow("Combo2 NUL") << "Combo2"
                                << QStringLiteral("9600") + kNul + QStringLiteral(",n,8,2") << kRead
                                << "refused" << none << settingsSay;

    // Direction: a text that names no row drives no line; the frame goes all the same.
    QTest::newRow("Combo3 100,000 characters")
        << "Combo3" << times(100000, 'R') << kRead << "sent" << kDefaultWire << noText;
    QTest::newRow("Combo3 RLM") << "Combo3" << QStringLiteral("RTS=0") + kRlm << kRead << "sent"
                                << kDefaultWire << noText;
    QTest::newRow("Combo3 emoji") << "Combo3" << kEmoji << kRead << "sent" << kDefaultWire
                                  << noText;
    QTest::newRow("Combo3 control")
        << "Combo3" << QStringLiteral("RTS=0\x01") << kRead << "sent" << kDefaultWire << noText;

    // Model: only the exact text LNKCTRL writes the concentrator prefix.
    const QByteArray noPrefix = hex("11 30 30 31 30 31 03 03");
    QTest::newRow("Combo4 100,000 characters")
        << "Combo4" << QStringLiteral("LNKCTRL") + times(99993, ' ') << kRead << "sent" << noPrefix
        << noText;
    QTest::newRow("Combo4 RLM") << "Combo4" << QStringLiteral("LNKCTRL") + kRlm << kRead << "sent"
                                << noPrefix << noText;
    QTest::newRow("Combo4 LRM first")
        << "Combo4" << kLrm + QStringLiteral("LNKCTRL") << kRead << "sent" << noPrefix << noText;
    QTest::newRow("Combo4 emoji family")
        << "Combo4" << kFamily << kRead << "sent" << noPrefix << noText;
    QTest::newRow("Combo4 NUL") << "Combo4" << QStringLiteral("LNKCTRL") + kNul << kRead << "sent"
                                << noPrefix << noText;

    // Function: no match leaves the function block out; the prefix goes alone.
    const QByteArray prefixOnly = hex("14 30 31 03");
    QTest::newRow("Combo5 100,000 characters")
        << "Combo5" << times(20000, kRead.left(5)) << kRead << "sent" << prefixOnly << noText;
    QTest::newRow("Combo5 RLM") << "Combo5" << kRead + kRlm << kRead << "sent" << prefixOnly
                                << noText;
    QTest::newRow("Combo5 RLO") << "Combo5" << kRlo + kRead << kRead << "sent" << prefixOnly
                                << noText;
    QTest::newRow("Combo5 emoji") << "Combo5" << kEmoji << kRead << "sent" << prefixOnly << noText;
    QTest::newRow("Combo5 lone surrogate")
        << "Combo5" << kLoneSurrogate << kRead << "sent" << prefixOnly << noText;

    // Address: the leading number, or a refusal when it has no form on the line.
    const QString addressSay = QStringLiteral("仪表地址");
    QTest::newRow("Combo6 100,000 ones")
        << "Combo6" << times(100000, '1') << kRead << "refused" << none << addressSay;
    QTest::newRow("Combo6 100,000 zeros") << "Combo6" << times(100000, '0') << kRead << "sent"
                                          << hex("14 30 31 11 30 30 30 30 31 03 03") << noText;
    QTest::newRow("Combo6 blanks then 7")
        << "Combo6" << times(99999, ' ') + QStringLiteral("7") << kRead << "sent"
        << hex("14 30 31 11 30 30 37 30 31 03 03") << noText;
    QTest::newRow("Combo6 tiny fraction")
        << "Combo6" << QStringLiteral("0.") + times(99997, '0') + QStringLiteral("1") << kRead
        << "sent" << hex("14 30 31 11 30 30 30 30 31 03 03") << noText;
    QTest::newRow("Combo6 huge exponent") << "Combo6" << QStringLiteral("1e") + times(99998, '9')
                                          << kRead << "refused" << none << addressSay;
    QTest::newRow("Combo6 RLM first") << "Combo6" << kRlm + QStringLiteral("12") << kRead << "sent"
                                      << hex("14 30 31 11 30 30 30 30 31 03 03") << noText;
    QTest::newRow("Combo6 RLM after") << "Combo6" << QStringLiteral("12") + kRlm << kRead << "sent"
                                      << hex("14 30 31 11 30 31 32 30 31 03 03") << noText;
    QTest::newRow("Combo6 emoji first")
        << "Combo6" << kEmoji + QStringLiteral("5") << kRead << "sent"
        << hex("14 30 31 11 30 30 30 30 31 03 03") << noText;
    QTest::newRow("Combo6 NUL first") << "Combo6" << kNul + QStringLiteral("5") << kRead << "sent"
                                      << hex("14 30 31 11 30 30 30 30 31 03 03") << noText;
    QTest::newRow("Combo6 tab and line feed")
        << "Combo6" << QStringLiteral("\t1\n2 ") << kRead << "sent"
        << hex("14 30 31 11 30 31 32 30 31 03 03") << noText;
    QTest::newRow("Combo6 CR first") << "Combo6" << QStringLiteral("\r12") << kRead << "sent"
                                     << hex("14 30 31 11 30 30 30 30 31 03 03") << noText;

    QTest::newRow("Combo7 100,000 nines") << "Combo7" << times(100000, '9') << kRead << "refused"
                                          << none << QStringLiteral("仪表通道");
    QTest::newRow("Combo7 RLO") << "Combo7" << kRlo + QStringLiteral("99") << kRead << "sent"
                                << hex("14 30 31 11 30 30 31 30 30 03 03") << noText;
    QTest::newRow("Combo7 emoji after")
        << "Combo7" << QStringLiteral("99") + kEmoji << kRead << "sent"
        << hex("14 30 31 11 30 30 31 39 39 03 03") << noText;

    QTest::newRow("Combo8 100,000 fives") << "Combo8" << times(100000, '5') << kReadPar << "refused"
                                          << none << QStringLiteral("参 数 号");
    QTest::newRow("Combo8 emoji") << "Combo8" << kEmoji << kReadPar << "sent"
                                  << hex("14 30 31 12 30 30 31 30 31 1F 30 30 03 03") << noText;

    QTest::newRow("Combo10 100,000 eights") << "Combo10" << times(100000, '8') << kRead << "refused"
                                            << none << QStringLiteral("LNK 地址");
    QTest::newRow("Combo10 RLM") << "Combo10" << kRlm << kRead << "sent"
                                 << hex("14 30 30 11 30 30 31 30 31 03 03") << noText;
    QTest::newRow("Combo10 escape sequence")
        << "Combo10" << QStringLiteral("\x1b[31m5") << kRead << "sent"
        << hex("14 30 30 11 30 30 31 30 31 03 03") << noText;

    // Value: sent as typed when ASCII, its sum in the frame; refused otherwise.
    // Without the value the prefixed write frame sums 568 (854 - "0000.0").
    const QString valueSay = QStringLiteral("参 数 值");
    QTest::newRow("Combo9 100,000 SOH")
        << "Combo9" << times(100000, QString(QChar(1))) << kWrite << "sent"
        << hex("14 30 31 13 30 30 31 30 31 1F 30 31 1F") + QByteArray(100000, '\x01') +
               hex("1F 3A 30 35 36 38 03 03")
        << noText;
    QTest::newRow("Combo9 100,000 zeros")
        << "Combo9" << times(100000, '0') << kWrite << "refused" << none << valueSay;
    QTest::newRow("Combo9 control characters")
        << "Combo9" << kNul + QStringLiteral("\x07\r\n\x7f") << kWrite << "sent"
        << hex("14 30 31 13 30 30 31 30 31 1F 30 31 1F 00 07 0D 0A 7F 1F 30 30 37 32 35 03 03")
        << noText;
    QTest::newRow("Combo9 RLM") << "Combo9" << QStringLiteral("1.5") + kRlm << kWrite << "refused"
                                << none << valueSay;
    QTest::newRow("Combo9 RLO") << "Combo9" << kRlo + QStringLiteral("12") << kWrite << "refused"
                                << none << QStringLiteral("\u27e8U+202E\u27e912");
    QTest::newRow("Combo9 emoji") << "Combo9" << kEmoji << kWrite << "refused" << none << valueSay;
    QTest::newRow("Combo9 lone surrogate")
        << "Combo9" << kLoneSurrogate << kWrite << "refused" << none << valueSay;

    // AT command line: ASCII goes out with CR LF, anything else is refused.
    const QString atSay = QStringLiteral("AT命令行");
    QTest::newRow("Combo11 100,000 characters")
        << "Combo11" << times(100000, 'A') << kRead << "at-sent"
        << QByteArray(100000, 'A') + hex("0D 0A") << noText;
    QTest::newRow("Combo11 control characters")
        << "Combo11" << QStringLiteral("AT") + kNul + QStringLiteral("\x1b") << kRead << "at-sent"
        << hex("41 54 00 1B 0D 0A") << noText;
    QTest::newRow("Combo11 RLM") << "Combo11" << QStringLiteral("ATDT") + kRlm << kRead
                                 << "at-refused" << none << atSay;
    QTest::newRow("Combo11 RLO") << "Combo11" << kRlo + QStringLiteral("ATDT") << kRead
                                 << "at-refused" << none
                                 << QStringLiteral("\u27e8U+202E\u27e9ATDT");
    QTest::newRow("Combo11 emoji")
        << "Combo11" << kFamily << kRead << "at-refused" << none << atSay;
}

void TestBadInput::everyBox() {
    QFETCH(QString, box);
    QFETCH(QString, text);
    QFETCH(QString, function);
    QFETCH(QString, outcome);
    QFETCH(QByteArray, wire);
    QFETCH(QString, says);

    FakeSerialPort port;
    Form1 w(&port);
    auto *combo = w.findChild<SelectionBox *>(box);
    QVERIFY(combo);
    if (box != QLatin1String("Combo5")) w.Combo5->setEditText(function);
    combo->setEditText(text);
    // The box holds the text exactly as given, however long.
    QCOMPARE(combo->currentText().size(), text.size());
    QVERIFY(combo->currentText() == text);

    QElapsedTimer t;
    t.start();
    if (outcome.startsWith(QLatin1String("at-")))
        w.Command1->click();
    else
        w.cmdtest->click();
    QCoreApplication::processEvents();
    qInfo("%s: %lld ms", QTest::currentDataTag(), qlonglong(t.elapsed()));

    if (outcome == QLatin1String("sent") || outcome == QLatin1String("at-sent")) {
        QVERIFY2(w.lastMessage().isEmpty(), qPrintable(w.lastMessage()));
        QCOMPARE(port.writes.size(), 1);
        QCOMPARE(port.writes.first().size(), wire.size());
        QVERIFY(port.writes.first() == wire);
        QVERIFY(!w.trs->text().isEmpty());
        QCOMPARE(w.Timer1.isActive(), outcome == QLatin1String("sent"));
        if (box == QLatin1String("Combo3"))
            QVERIFY(!port.log.join(' ').contains(QRegularExpression("\\b(rts|dtr) ")));
        return;
    }

    // A refusal: nothing on the line, nothing shown, no wait; a message that
    // names the box, short and without characters that would garble it.
    QVERIFY(port.writes.isEmpty());
    QCOMPARE(w.trs->text(), QString());
    QVERIFY(!w.Timer1.isActive());
    const QString message = w.lastMessage();
    QVERIFY2(message.contains(says), qPrintable(message));
    QVERIFY2(message.contains(QStringLiteral("未发送任何内容")) ||
                 message.contains(QStringLiteral("不接受设置")),
             qPrintable(message));
    QVERIFY2(message.size() < 400, qPrintable(QString::number(message.size())));
    QVERIFY2(!has_bidi_control(message), qPrintable(message));
    QVERIFY2(!has_control(message), qPrintable(message));
    QVERIFY(w.messageBox() && w.messageBox()->isVisible() && !w.messageBox()->isModal());
    QCOMPARE(w.messageBox()->text(), message);
}

QTEST_MAIN(TestBadInput)
#include "tst_bad_input.moc"
