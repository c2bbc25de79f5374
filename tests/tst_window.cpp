// The console window after start-up: texts, lists, layout, keyboard, colours,
// selection boxes and the two text windows.
#include "display.h"
#include "fakeserialport.h"
#include "form1.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QScreen>
#include <QtTest>

namespace {

QWidget *child(Form1 &w, const QString &name) {
    auto *c = w.findChild<QWidget *>(name);
    if (!c) qWarning("no control %s", qPrintable(name));
    return c;
}

QStringList rows(const QComboBox *box) {
    QStringList r;
    for (int i = 0; i < box->count(); ++i)
        r << box->itemText(i);
    return r;
}

double screenDpi() {
    return QGuiApplication::primaryScreen()->logicalDotsPerInch();
}

// Pixels of an image close to a colour (antialiased glyph edges blend).
int pixelsNear(const QImage &img, QColor c, int tolerance) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor p = img.pixelColor(x, y);
            if (qAbs(p.red() - c.red()) <= tolerance && qAbs(p.green() - c.green()) <= tolerance &&
                qAbs(p.blue() - c.blue()) <= tolerance)
                ++n;
        }
    return n;
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void defaultTexts_data();
    void defaultTexts();
    void captions_data();
    void captions();
    void lists_data();
    void lists();
    void atRows();
    void startUpTouchesNothing();
    void tabOrder();
    void focusOnTestAndKeysPressIt();
    void colours();
    void typedTextIsKept_data();
    void typedTextIsKept();
    void pickingARowSetsTheText();
    void geometry_data();
    void geometry();
    void textWindowsShowNoMarkup();
    void insertKeepsSelection();
    void byteDisplay_data();
    void byteDisplay();
};

void TestWindow::defaultTexts_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("text");
    QTest::newRow("Combo1") << "Combo1"
                            << "COM1";
    QTest::newRow("Combo2") << "Combo2"
                            << "9600,n,8,2";
    QTest::newRow("Combo3") << "Combo3"
                            << "RTS=0";
    QTest::newRow("Combo4") << "Combo4"
                            << "LNKCTRL";
    QTest::newRow("Combo5") << "Combo5" << QStringLiteral("读PV(DC1)");
    QTest::newRow("Combo6") << "Combo6"
                            << "001";
    QTest::newRow("Combo7") << "Combo7"
                            << "01";
    QTest::newRow("Combo8") << "Combo8"
                            << "01";
    QTest::newRow("Combo9") << "Combo9"
                            << "0000.0";
    QTest::newRow("Combo10") << "Combo10"
                             << "01";
}

void TestWindow::defaultTexts() {
    QFETCH(QString, box);
    QFETCH(QString, text);
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *b = qobject_cast<QComboBox *>(child(w, box));
    QVERIFY(b);
    QCOMPARE(b->currentText(), text);
    QVERIFY(b->isEditable());
}

void TestWindow::captions_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    // Full-width colon U+FF1A, full-width brackets U+FF08 U+FF09, ASCII spaces.
    QTest::newRow("Label1") << "Label1" << QStringLiteral("通 讯 口\uFF1A");
    QTest::newRow("Label2") << "Label2" << QStringLiteral("波 特 率\uFF1A");
    QTest::newRow("Label3") << "Label3" << QStringLiteral("发送信号\uFF1A");
    QTest::newRow("Label4") << "Label4" << QStringLiteral("仪表型号\uFF1A");
    QTest::newRow("Label5") << "Label5" << QStringLiteral("功能选择\uFF1A");
    QTest::newRow("Label6") << "Label6" << QStringLiteral("LNK 地址\uFF1A");
    QTest::newRow("Label7") << "Label7" << QStringLiteral("仪表地址\uFF1A");
    QTest::newRow("Label8") << "Label8" << QStringLiteral("仪表通道\uFF1A");
    QTest::newRow("Label9") << "Label9" << QStringLiteral("参 数 号\uFF1A");
    QTest::newRow("Label10") << "Label10" << QStringLiteral("参 数 值\uFF1A");
    QTest::newRow("Label11") << "Label11" << QStringLiteral("发送窗口\uFF1A");
    QTest::newRow("Label12") << "Label12" << QStringLiteral("接收窗口\uFF1A");
    QTest::newRow("Label13") << "Label13" << QStringLiteral("进程标尺\uFF1A");
    QTest::newRow("Label16") << "Label16" << QStringLiteral("AT命令行\uFF1A");
    QTest::newRow("cmdtest") << "cmdtest" << QStringLiteral("测试\uFF08TEST\uFF09");
    QTest::newRow("cmdexit") << "cmdexit" << QStringLiteral("退出\uFF08EXIT\uFF09");
    QTest::newRow("Command1") << "Command1" << QStringLiteral("发送AT命令");
}

void TestWindow::captions() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    FakeSerialPort port;
    Form1 w(&port);
    QWidget *c = child(w, name);
    QVERIFY(c);
    if (auto *label = qobject_cast<QLabel *>(c))
        QCOMPARE(label->text(), caption);
    else
        QCOMPARE(qobject_cast<QPushButton *>(c)->text(), caption);
    QCOMPARE(w.windowTitle(), QStringLiteral("《Kestrova通讯测试程序V2.0》    2004.01.01"));
}

void TestWindow::lists_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("Combo1") << "Combo1"
                            << QStringList{"COM1",  "COM2",  "COM3",  "COM4",  "COM5",  "COM6",
                                           "COM7",  "COM8",  "COM9",  "COM10", "COM11", "COM12",
                                           "COM13", "COM14", "COM15", "COM16"};
    QTest::newRow("Combo2") << "Combo2"
                            << QStringList{"1200,n,8,2",  "2400,n,8,2",  "4800,n,8,2", "9600,n,8,2",
                                           "19200,n,8,2", "38400,n,8,2", "56000,n,8,2"};
    QTest::newRow("Combo3") << "Combo3" << QStringList{"RTS=0", "RTS=1", "DTR=0", "DTR=1", "MODEM"};
    QTest::newRow("Combo4") << "Combo4"
                            << QStringList{"PM-01", "PM-02", "PM-03", "PM-04", "PM-05", "PM-06",
                                           "PM-07", "PM-08", "PM-09", "PM-10", "PM-11", "PM-12",
                                           "PM-13", "PM-14", "PM-15", "PM-16", "PM-17", "PM-18",
                                           "PM-19", "PM-20", "PM-21", "PM-22", "PM-23", "LNKCTRL"};
    QTest::newRow("Combo5") << "Combo5"
                            << QStringList{QStringLiteral("读PV(DC1)"),
                                           QStringLiteral("读参数(DC2)"),
                                           QStringLiteral("写参数(DC3)")};
    QTest::newRow("Combo6") << "Combo6" << QStringList{"001"};
    QTest::newRow("Combo7") << "Combo7" << QStringList{"01"};
    QTest::newRow("Combo8") << "Combo8" << QStringList{"01"};
    QTest::newRow("Combo9") << "Combo9" << QStringList{"0000.0"};
    QTest::newRow("Combo10") << "Combo10" << QStringList{"01"};
}

void TestWindow::lists() {
    QFETCH(QString, box);
    QFETCH(QStringList, rows);
    FakeSerialPort port;
    Form1 w(&port);
    auto *b = qobject_cast<QComboBox *>(child(w, box));
    QVERIFY(b);
    QCOMPARE(::rows(b), rows);
}

void TestWindow::atRows() {
    FakeSerialPort port;
    Form1 w(&port);
    // The AT box: the dial row with its number first, then the nine fixed rows;
    // its default text is that first row.
    const QString dial = w.Combo11->itemText(0);
    QVERIFY2(QRegularExpression("^\\+\\+\\+ATDT[0-9]+$").match(dial).hasMatch(), qPrintable(dial));
    QCOMPARE(w.Combo11->currentText(), dial);
    QCOMPARE(::rows(w.Combo11).mid(1),
             (QStringList{"+++ATH0", "+++AT&F", "+++AT&D0", "+++AT&C0", "+++AT&K0", "+++AT&Z0",
                          "+++ATS0=2", "+++AT&V", "+++AT&W0"}));
}

void TestWindow::startUpTouchesNothing() {
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::qWait(50);
    QCOMPARE(port.log, QStringList());
    QVERIFY(!port.portOpen());
    QCOMPARE(w.trs->toPlainText(), QString());
    QCOMPARE(w.rec->toPlainText(), QString());
    QCOMPARE(w.Text1->text(), QString());
    QVERIFY(!w.Timer1.isActive());
    QCOMPARE(w.Timer1.interval(), 10);
    QCOMPARE(w.Timer1.timerType(), Qt::PreciseTimer);
    QCOMPARE(w.transaction().progress(), quint8(0));
}

void TestWindow::tabOrder() {
    const QStringList order{"cmdtest", "Combo1",  "Combo2",   "Combo3", "Combo4",  "Combo5",
                            "Combo6",  "Combo7",  "Combo8",   "Combo9", "Combo10", "cmdexit",
                            "Text1",   "Combo11", "Command1", "trs",    "rec"};
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));

    // The focus chain, as far as it holds controls that take Tab focus.
    QStringList chain;
    QWidget *x = w.cmdtest;
    do {
        if ((x->focusPolicy() & Qt::TabFocus) && !x->focusProxy() && x->isVisibleTo(&w) &&
            x->parentWidget() == &w)
            chain << x->objectName();
        x = x->nextInFocusChain();
    } while (x != w.cmdtest);
    QCOMPARE(chain, order);

    // And Tab pressed by the user, all the way round.
    w.cmdtest->setFocus();
    QStringList stepped;
    for (int i = 0; i <= order.size(); ++i) {
        QWidget *f = QApplication::focusWidget();
        QVERIFY(f);
        stepped << f->objectName();
        QTest::keyClick(f, Qt::Key_Tab);
    }
    QCOMPARE(stepped, order + QStringList{"cmdtest"});
    // Tab moved on; it typed nothing into the text windows.
    QCOMPARE(w.trs->toPlainText(), QString());
    QCOMPARE(w.rec->toPlainText(), QString());
}

void TestWindow::focusOnTestAndKeysPressIt() {
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QCOMPARE(QApplication::focusWidget(), w.cmdtest);

    const QByteArray wire = QByteArray::fromHex("14 30 31 11 30 30 31 30 31 03 03");
    int presses = 0;
    for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
        QTest::keyClick(QApplication::focusWidget(), key);
        ++presses;
        QCOMPARE(port.writes.size(), presses);
        QCOMPARE(port.writes.last(), wire);
        w.Timer1.stop(); // as the time-out would
    }
}

void TestWindow::colours() {
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QColor grey(192, 192, 192), lightBlue(128, 128, 255), blue(0, 0, 255);

    // Text1: grey field, light blue text, as drawn.
    w.Text1->setText(QString(8, QChar(0x2588)));
    const QImage text1 = w.Text1->grab().toImage();
    w.Text1->clear();
    QVERIFY(pixelsNear(text1, grey, 2) > text1.width() * text1.height() / 4);
    QVERIFY(pixelsNear(text1, lightBlue, 8) > 20);
    QCOMPARE(w.Text1->palette().color(QPalette::Text), lightBlue);

    // Label14: grey background, blue text. Label15: blue text on the window's own colour.
    const QImage web = w.Label14->grab().toImage();
    QVERIFY(pixelsNear(web, grey, 2) > web.width() * web.height() / 2);
    QCOMPARE(w.Label14->palette().color(QPalette::WindowText), blue);
    QCOMPARE(w.Label15->palette().color(QPalette::WindowText), blue);
    QCOMPARE(w.Label15->palette().color(QPalette::Window), w.palette().color(QPalette::Window));
    const QImage mail = w.Label15->grab().toImage();
    QVERIFY(pixelsNear(mail, grey, 2) < mail.width() * mail.height() / 2 ||
            w.palette().color(QPalette::Window) == grey);
    QVERIFY(pixelsNear(mail, blue, 60) > 5);
    QVERIFY(pixelsNear(web, blue, 60) > 5);
}

void TestWindow::typedTextIsKept_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("wire"); // what TEST then writes; empty: not tried
    QTest::newRow("lnkctrl") << "Combo4"
                             << "lnkctrl" << QByteArray::fromHex("11 30 30 31 30 31 03 03");
    QTest::newRow("LNKCTRL with a space")
        << "Combo4"
        << "LNKCTRL " << QByteArray::fromHex("11 30 30 31 30 31 03 03");
    QTest::newRow("prefix of a row, other case") << "Combo4"
                                                 << "pm-0" << QByteArray();
    QTest::newRow("prefix of a row") << "Combo4"
                                     << "PM-0" << QByteArray();
    QTest::newRow("COM1 with a space") << "Combo1"
                                       << "COM1 " << QByteArray();
    QTest::newRow("com1") << "Combo1"
                          << "com1" << QByteArray();
    QTest::newRow("rts=1") << "Combo3"
                           << "rts=1" << QByteArray();
    QTest::newRow("upper-case parity") << "Combo2"
                                       << "9600,N,8,2" << QByteArray();
    QTest::newRow("address 12") << "Combo6"
                                << "12" << QByteArray::fromHex("14 30 31 11 30 31 32 30 31 03 03");
    QTest::newRow("AT line in lower case") << "Combo11"
                                           << "+++ath0" << QByteArray();
}

void TestWindow::typedTextIsKept() {
    QFETCH(QString, box);
    QFETCH(QString, text);
    QFETCH(QByteArray, wire);
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    auto *b = qobject_cast<QComboBox *>(child(w, box));
    QVERIFY(b);
    const QStringList before = rows(b);

    b->setFocus();
    QCOMPARE(QApplication::focusWidget(), b);
    b->clearEditText();
    QTest::keyClicks(QApplication::focusWidget(), text);
    QCOMPARE(b->currentText(), text);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab); // leaving the box
    QCOMPARE(b->currentText(), text);
    QCOMPARE(rows(b), before);

    if (!wire.isEmpty()) {
        w.cmdtest->click();
        QCOMPARE(port.writes, QList<QByteArray>{wire});
    }
}

void TestWindow::pickingARowSetsTheText() {
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.Combo4->setEditText("typed");

    w.Combo4->showPopup();
    QAbstractItemView *view = w.Combo4->view();
    QTRY_VERIFY(view->isVisible());
    const QModelIndex pm05 = view->model()->index(4, 0);
    view->scrollTo(pm05);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(pm05).center());
    QTRY_VERIFY(!view->isVisible());
    QCOMPARE(w.Combo4->currentText(), QStringLiteral("PM-05"));
    QCOMPARE(w.Combo4->count(), 24);

    w.cmdtest->click();
    QCOMPARE(port.writes, QList<QByteArray>{QByteArray::fromHex("11 30 30 31 30 31 03 03")});
}

void TestWindow::geometry_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twipRect");
    QTest::addColumn<QRect>("at96"); // the table divided by 15
    auto row = [](const char *name, int l, int t, int w, int h, QRect px) {
        QTest::newRow(name) << QString::fromLatin1(name) << QRect(l, t, w, h) << px;
    };
    row("Label1", 240, 240, 1095, 255, QRect(16, 16, 73, 17));
    row("Combo1", 1200, 240, 1455, 300, QRect(80, 16, 97, 20));
    row("Label5", 3240, 240, 975, 255, QRect(216, 16, 65, 17));
    row("Combo5", 4200, 240, 1455, 300, QRect(280, 16, 97, 20));
    row("Label9", 6240, 240, 1095, 255, QRect(416, 16, 73, 17));
    row("Combo8", 7200, 240, 1455, 300, QRect(480, 16, 97, 20));
    row("Label2", 240, 720, 1095, 255, QRect(16, 48, 73, 17));
    row("Combo2", 1200, 720, 1455, 300, QRect(80, 48, 97, 20));
    row("Label6", 3240, 720, 975, 255, QRect(216, 48, 65, 17));
    row("Combo10", 4200, 720, 1455, 300, QRect(280, 48, 97, 20));
    row("Label10", 6240, 720, 1215, 255, QRect(416, 48, 81, 17));
    row("Combo9", 7200, 720, 1455, 300, QRect(480, 48, 97, 20));
    row("Label3", 240, 1200, 1095, 255, QRect(16, 80, 73, 17));
    row("Combo3", 1200, 1200, 1455, 300, QRect(80, 80, 97, 20));
    row("Label7", 3240, 1200, 1215, 255, QRect(216, 80, 81, 17));
    row("Combo6", 4200, 1200, 1455, 300, QRect(280, 80, 97, 20));
    row("Command1", 7200, 1200, 1455, 495, QRect(480, 80, 97, 33));
    row("Label4", 240, 1680, 975, 255, QRect(16, 112, 65, 17));
    row("Combo4", 1200, 1680, 1455, 300, QRect(80, 112, 97, 20));
    row("Label8", 3240, 1680, 1335, 255, QRect(216, 112, 89, 17));
    row("Combo7", 4200, 1680, 1455, 300, QRect(280, 112, 97, 20));
    row("cmdtest", 7200, 1800, 1455, 495, QRect(480, 120, 97, 33));
    row("Label16", 240, 2160, 1095, 255, QRect(16, 144, 73, 17));
    row("Combo11", 1200, 2160, 4455, 300, QRect(80, 144, 297, 20));
    row("cmdexit", 7200, 2400, 1455, 495, QRect(480, 160, 97, 33));
    row("Label13", 240, 2640, 1095, 255, QRect(16, 176, 73, 17));
    row("Text1", 1200, 2640, 4455, 270, QRect(80, 176, 297, 18));
    row("Label15", 7200, 3000, 1455, 255, QRect(480, 200, 97, 17));
    row("Label11", 240, 3240, 1455, 255, QRect(16, 216, 97, 17));
    row("Label12", 3240, 3240, 1575, 255, QRect(216, 216, 105, 17));
    row("Label14", 7200, 3240, 1455, 255, QRect(480, 216, 97, 17));
    row("trs", 120, 3480, 2895, 3495, QRect(8, 232, 193, 233));
    row("rec", 3240, 3480, 5415, 3495, QRect(216, 232, 361, 233));
}

void TestWindow::geometry() {
    QFETCH(QString, name);
    QFETCH(QRect, twipRect);
    QFETCH(QRect, at96);

    // The one conversion: 15 twips a pixel at 96 DPI, in proportion elsewhere.
    QCOMPARE(QRect(twips(twipRect.x(), 96), twips(twipRect.y(), 96), twips(twipRect.width(), 96),
                   twips(twipRect.height(), 96)),
             at96);
    QCOMPARE(twips(twipRect.width(), 192), 2 * at96.width());

    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const double dpi = screenDpi();
    const QRect expected(twips(twipRect.x(), dpi), twips(twipRect.y(), dpi),
                         twips(twipRect.width(), dpi), twips(twipRect.height(), dpi));
    QWidget *c = child(w, name);
    QVERIFY(c);
    QCOMPARE(c->geometry(), expected);
    if (qFuzzyCompare(dpi, 96.0)) QCOMPARE(c->geometry(), at96);
    QCOMPARE(w.size(), QSize(twips(8925, dpi), twips(7245, dpi)));
    QCOMPARE(QSize(twips(8925, 96), twips(7245, 96)), QSize(595, 483));
}

void TestWindow::textWindowsShowNoMarkup() {
    FakeSerialPort port;
    Form1 w(&port);
    for (ByteWindow *tw : {w.trs, w.rec}) {
        tw->insert("<b>x</b>");
        QCOMPARE(tw->toPlainText(), QStringLiteral("<b>x</b>"));
        QCOMPARE(tw->document()->characterCount() - 1, 8);
        tw->insert("\r\n&amp;<br>");
        QCOMPARE(tw->toPlainText(), QStringLiteral("<b>x</b>\n&amp;<br>"));
    }
    // A received reply with markup reaches rec as the same characters.
    port.receive("\r\n<i>y</i>");
    QCOMPARE(w.rec->toPlainText(), QStringLiteral("<b>x</b>\n&amp;<br>\n<i>y</i>"));
}

// The console only adds: text the user selected stays, the new text goes in at the caret.
void TestWindow::insertKeepsSelection() {
    FakeSerialPort port;
    Form1 w(&port);
    w.trs->insert("abcdef");
    QTextCursor c = w.trs->textCursor();
    c.setPosition(2);
    c.setPosition(4, QTextCursor::KeepAnchor); // "cd" selected, caret after d
    w.trs->setTextCursor(c);
    w.trs->insert("X");
    QCOMPARE(w.trs->toPlainText(), QStringLiteral("abcdXef"));
    w.trs->insert("Y");
    QCOMPARE(w.trs->toPlainText(), QStringLiteral("abcdXYef"));
}

void TestWindow::byteDisplay_data() {
    QTest::addColumn<QList<QByteArray>>("inserts");
    QTest::addColumn<QString>("shown");
    using L = QList<QByteArray>;
    QTest::newRow("printable") << L{" AZaz09~"} << " AZaz09~";
    QTest::newRow("control pictures")
        << L{QByteArray("\x00\x01\x04\x09\x11\x14\x17\x1b\x1f", 9)}
        << QStringLiteral("\u2400\u2401\u2404\u2409\u2411\u2414\u2417\u241b\u241f");
    QTest::newRow("frame line") << L{QByteArray::fromHex("14 30 31 11 30 30 31 30 31 03 0D 0A")}
                                << QStringLiteral("\u241401\u241100101\u2403\n");
    QTest::newRow("CR LF") << L{"a\r\nb"} << "a\nb";
    QTest::newRow("CR LF split over two inserts") << L{"a\r", "\nb"} << "a\nb";
    QTest::newRow("CR, empty insert, LF") << L{"a\r", "", "\nb"} << "a\nb";
    QTest::newRow("CR then other insert") << L{"a\r", "b"} << QStringLiteral("a\u240db");
    QTest::newRow("CR then CR LF") << L{"a\r", "\r\nb"} << QStringLiteral("a\u240d\nb");
    QTest::newRow("lone CR") << L{"a\rb"} << QStringLiteral("a\u240db");
    QTest::newRow("lone LF") << L{"a\nb"} << QStringLiteral("a\u240ab");
    QTest::newRow("LF CR") << L{"a\n\rb"} << QStringLiteral("a\u240a\u240db");
    QTest::newRow("CR CR LF") << L{"\r\r\n"} << QStringLiteral("\u240d\n");
    QTest::newRow("two line ends in two inserts") << L{"\r\n", "\r\n"} << "\n\n";
    QTest::newRow("DEL and high bytes") << L{QByteArray::fromHex("7F 80 AB FF")}
                                        << QStringLiteral("\u27e87F\u27e9\u27e880\u27e9"
                                                          "\u27e8AB\u27e9\u27e8FF\u27e9");
    QTest::newRow("high byte between CR and LF")
        << L{QByteArray::fromHex("0D E9 0A")} << QStringLiteral("\u240d\u27e8E9\u27e9\u240a");
}

// Through a real text window, so the held CR is the window's own state.
void TestWindow::byteDisplay() {
    QFETCH(QList<QByteArray>, inserts);
    QFETCH(QString, shown);

    ByteDisplay d;
    QString rendered;
    for (const QByteArray &b : inserts)
        rendered += d.render(b);
    QCOMPARE(rendered, shown);

    FakeSerialPort port;
    Form1 w(&port);
    for (const QByteArray &b : inserts)
        w.rec->insert(b);
    QCOMPARE(w.rec->toPlainText(), shown);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
