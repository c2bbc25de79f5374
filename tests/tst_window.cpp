// The console window after start-up: texts, lists, layout, keyboard, colours,
// selection boxes and the two text windows.
#include "display.h"
#include "fakeserialport.h"
#include "form1.h"
#include "tshark.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTextBlock>
#include <QTextLayout>
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
    void portBoxListsPresentDevices();
    void builtInPortDescription_data();
    void builtInPortDescription();
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
    void appendsAtEndWhereverClicked();
    void viewStaysWhileScrolledUp();
    void byteDisplay_data();
    void byteDisplay();
    void madeUpBreaksOnlyInView_data();
    void madeUpBreaksOnlyInView();
    void wrapsOnlyBetweenTokens_data();
    void wrapsOnlyBetweenTokens();
    void boundedAndSameAsPerEvent();
    void savePath_data();
    void savePath();
    void saveAsWritesWhatArrived();
    void menuViewSettings();
    void recordsOfDefaultTest_data();
    void recordsOfDefaultTest();
    void captureOfAFlood();
    void logWriteErrorGivesOneMessage_data();
    void logWriteErrorGivesOneMessage();
    void f5PressesTest();
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
    QTest::newRow("Combo3") << "Combo3"
                            << QStringList{"RTS=0", "RTS=1", "DTR=0", "DTR=1", "MODEM", "RS485"};
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

// After COM1..COM16, the devices present as the list opens, each time anew.
void TestWindow::portBoxListsPresentDevices() {
    FakeSerialPort port;
    Form1 w(&port);
    auto *box = qobject_cast<PortBox *>(w.Combo1);
    QVERIFY(box);
    QStringList com;
    for (int n = 1; n <= 16; ++n)
        com << QStringLiteral("COM%1").arg(n);
    // The system's own list is read, never opened.
    box->showPopup();
    QStringList system = com;
    for (const PresentDevice &d : DeviceAnswers().presentDevices())
        system << d.device;
    QCOMPARE(::rows(box), system);
    box->hidePopup();

    QList<PresentDevice> present{{"/dev/ttyUSB0", "USB-Serial Controller"}, {"/dev/ttyACM0", ""}};
    box->setLister([&] { return present; });
    for (int round = 0; round < 2; ++round) {
        box->showPopup();
        QCOMPARE(::rows(box), (com + QStringList{present[0].device, present[1].device}));
        QCOMPARE(box->itemData(16, Qt::ToolTipRole).toString(),
                 QStringLiteral("USB-Serial Controller"));
        QCOMPARE(box->currentText(), QStringLiteral("COM1"));
        box->hidePopup();
        present = {{"/dev/ttyUSB1", "FT232R USB UART"}, {"/dev/ttyUSB0", "USB-Serial Controller"}};
        if (round == 0) present.swapItemsAt(0, 1);
    }
    // A picked device row is the port's text, as typed would be.
    box->setCurrentIndex(17);
    QCOMPARE(w.Combo1->currentText(), QStringLiteral("/dev/ttyUSB1"));
}

// The description from a made-up sysfs tree: "link>target" pairs, and the
// kernel's console list.
void TestWindow::builtInPortDescription_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QString>("active");
    QTest::addColumn<QString>("description");
    QTest::newRow("platform UART, ttyS10 the console")
        << "/dev/ttyS1"
        << QStringList{"ttyS1/device>../d/serial8250", "d/serial8250/driver>../serial8250"}
        << "tty0 ttyS10\n"
        << "内置串口（serial8250）";
    // Linux 6.5 and later: the port and its controller on the serial-base bus.
    const QString port = "d/00:00/00:00:0/00:00:0.0";
    QTest::newRow("serial-base layers, the console")
        << "/dev/ttyS0"
        << QStringList{"ttyS0/device>../" + port,        port + "/subsystem>../serial-base",
                       port + "/driver>../port",         "d/00:00/00:00:0/subsystem>../serial-base",
                       "d/00:00/00:00:0/driver>../ctrl", "d/00:00/subsystem>../pnp",
                       "d/00:00/driver>../serial"}
        << "tty0 ttyS0\n"
        << "内置串口（serial），系统控制台";
    QTest::newRow("no driver: a placeholder")
        << "/dev/ttyS3" << QStringList{"ttyS3/device>../d/serial8250.3"} << "ttyS3\n"
        << "";
}

void TestWindow::builtInPortDescription() {
    QFETCH(QString, device);
    QFETCH(QStringList, links);
    QFETCH(QString, active);
    QTemporaryDir root;
    const QDir dir(root.path());
    for (const QString &pair : links) {
        const QString link = pair.section('>', 0, 0), target = pair.section('>', 1);
        QVERIFY(dir.mkpath(QFileInfo(link).path() + '/' + target));
        QVERIFY(QFile::link(target, dir.filePath(link)));
    }
    QVERIFY(dir.mkpath("console"));
    QFile f(dir.filePath("console/active"));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(active.toLatin1()) > 0);
    f.close();
    QTEST(::builtInPortDescription(device, root.path()), "description");
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
        QCOMPARE(tw->text(), QStringLiteral("<b>x</b>"));
        tw->insert("\r\n&amp;<br>");
        QCOMPARE(tw->text(), QStringLiteral("<b>x</b>\n&amp;<br>"));
    }
    // A received reply with markup reaches rec as the same characters.
    port.receive("\r\n<i>y</i>");
    QCOMPARE(w.rec->text(), QStringLiteral("<b>x</b>\n&amp;<br>\n<i>y</i>"));
}

// A click (or a selection) in the window moves nothing: the reply goes in at
// the end, on its own line. Typing and pasting change nothing either.
void TestWindow::appendsAtEndWhereverClicked() {
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    const QByteArray reply =
        QByteArray::fromHex("14 30 31 02 30 30 31 30 31 32 33 2E 34 30 30 35 36 30 17");
    const QString shown = QStringLiteral(u"⟨DC4⟩01⟨STX⟩0010123.400560⟨ETB⟩OK SUM=00560\n");
    for (int i = 0; i < 3; ++i) {
        w.cmdtest->click();
        port.receive(reply);
    }
    QCOMPARE(w.rec->text(), shown.repeated(3));

    QTextCursor middle(w.rec->document());
    middle.setPosition(8); // inside the first reply
    QTest::mouseClick(w.rec->viewport(), Qt::LeftButton, {}, w.rec->cursorRect(middle).center());
    QCOMPARE(QApplication::focusWidget(), w.rec);
    QVERIFY(w.rec->textCursor().position() > 0);
    QTest::keyClicks(w.rec, "typed");
    QTest::keySequence(w.rec, QKeySequence::Paste);
    QTest::keyClick(w.rec, Qt::Key_Return);
    w.cmdtest->click();
    port.receive(reply);
    QCOMPARE(w.rec->text(), shown.repeated(4));
    QCOMPARE(w.trs->text(), QStringLiteral(u"⟨DC4⟩01⟨DC1⟩00101⟨ETX⟩\n").repeated(4));
}

// Scrolled up, the user keeps the lines being read; at the end, the view follows.
void TestWindow::viewStaysWhileScrolledUp() {
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    for (int i = 0; i < 100; ++i)
        port.receive(QByteArray("line ") + QByteArray::number(i) + "\r\n");
    QTRY_VERIFY(w.rec->document()->blockCount() > 100);
    QScrollBar *bar = w.rec->verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());

    // A click into the trough above the handle pages up.
    QStyleOptionSlider opt;
    opt.initFrom(bar);
    opt.orientation = Qt::Vertical;
    opt.minimum = bar->minimum();
    opt.maximum = bar->maximum();
    opt.sliderPosition = opt.sliderValue = bar->value();
    opt.pageStep = bar->pageStep();
    const QRect handle =
        bar->style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, bar);
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(handle.center().x(), handle.top() - 3));
    const int top = bar->value();
    QVERIFY(top < bar->maximum());
    const QString firstShown = w.rec->cursorForPosition(QPoint(4, 4)).block().text();

    for (int i = 100; i < 150; ++i)
        port.receive(QByteArray("line ") + QByteArray::number(i) + "\r\n");
    QTest::qWait(3 * ByteWindow::kFlushMs);
    QCOMPARE(bar->value(), top);
    QCOMPARE(w.rec->cursorForPosition(QPoint(4, 4)).block().text(), firstShown);

    QTest::keyClick(w.rec, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(bar->value(), bar->maximum());
    port.receive("last\r\n");
    QTRY_COMPARE(w.rec->document()->lastBlock().previous().text(), QStringLiteral("last"));
    QCOMPARE(bar->value(), bar->maximum());
}

void TestWindow::byteDisplay_data() {
    QTest::addColumn<QList<QByteArray>>("inserts");
    QTest::addColumn<QString>("shown");
    using L = QList<QByteArray>;
    QTest::newRow("printable") << L{" AZaz09~"} << " AZaz09~";
    QTest::newRow("short names")
        << L{QByteArray("\x00\x01\x02\x03\x04\x09\x0b\x11\x14\x17\x1b\x1f", 12)}
        << QStringLiteral(u"⟨NUL⟩⟨SOH⟩⟨STX⟩⟨ETX⟩⟨EOT⟩⟨HT⟩⟨VT⟩⟨DC1⟩⟨DC4⟩⟨ETB⟩⟨ESC⟩⟨US⟩");
    QTest::newRow("frame line") << L{QByteArray::fromHex("14 30 31 11 30 30 31 30 31 03 0D 0A")}
                                << QStringLiteral(u"⟨DC4⟩01⟨DC1⟩00101⟨ETX⟩\n");
    QTest::newRow("CR LF") << L{"a\r\nb"} << "a\nb";
    QTest::newRow("CR LF split over two inserts") << L{"a\r", "\nb"} << "a\nb";
    QTest::newRow("CR, empty insert, LF") << L{"a\r", "", "\nb"} << "a\nb";
    QTest::newRow("CR ends the line at once") << L{"a\r"} << "a\n";
    QTest::newRow("lone CR") << L{"a\rb"} << "a\nb";
    QTest::newRow("lone LF") << L{"a\nb"} << "a\nb";
    QTest::newRow("LF CR") << L{"a\n\rb"} << "a\n\nb";
    QTest::newRow("CR CR LF") << L{"\r\r\n"} << "\n\n";
    QTest::newRow("CR then CR LF") << L{"a\r", "\r\nb"} << "a\n\nb";
    QTest::newRow("two line ends in two inserts") << L{"\r\n", "\r\n"} << "\n\n";
    QTest::newRow("DEL and high bytes")
        << L{QByteArray::fromHex("7F 80 AB FF")} << QStringLiteral(u"⟨7F⟩⟨80⟩⟨AB⟩⟨FF⟩");
    QTest::newRow("high byte between CR and LF")
        << L{QByteArray::fromHex("0D E9 0A")} << QStringLiteral(u"\n⟨E9⟩\n");
    QTest::newRow("angle brackets as bytes") << L{"<02>"} << "<02>";
}

// Through a real text window, so the CR state is the window's own.
void TestWindow::byteDisplay() {
    QFETCH(QList<QByteArray>, inserts);
    QFETCH(QString, shown);
    FakeSerialPort port;
    Form1 w(&port);
    for (const QByteArray &b : inserts)
        w.rec->insert(b);
    QCOMPARE(w.rec->text(), shown);
    // Copying gives the same text.
    w.rec->selectAll();
    w.rec->copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), shown);
}

// A line the window breaks itself (a long run without a line break) is broken
// in the view only: the copy holds what arrived. 256 columns, as the README says.
void TestWindow::madeUpBreaksOnlyInView_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("hex");
    QTest::addColumn<int>("lines"); // in the view
    QTest::addColumn<QString>("copied");
    const QString stx = QStringLiteral(u"⟨STX⟩");
    QTest::newRow("255 columns, then a name")
        << QByteArray(255, 'A') + '\x02' << false << 1 << QString(255, u'A') + stx;
    QTest::newRow("256 columns, then a name")
        << QByteArray(256, 'A') + '\x02' << false << 2 << QString(256, u'A') + stx;
    QTest::newRow("600 printable") << QByteArray(600, 'A') << false << 2 << QString(600, u'A');
    QTest::newRow("100 names") << QByteArray(100, '\x02') << false << 2 << stx.repeated(100);
    QTest::newRow("space past 256")
        << QByteArray(256, 'A') + "  B" << false << 2 << QString(256, u'A') + QStringLiteral("  B");
    QTest::newRow("then a real line end") << QByteArray(600, 'A') + "\r\nB" << false << 3
                                          << QString(600, u'A') + QStringLiteral("\nB");
    QStringList hexA(100, QStringLiteral("41"));
    QTest::newRow("hex, 100 bytes")
        << QByteArray(100, 'A') << true << 2 << hexA.join(QLatin1Char(' '));
    QTest::newRow("hex, a line end after each 0A")
        << QByteArray("A\nB\r\n\nC") << true << 4 << QStringLiteral("41 0A\n42 0D 0A\n0A\n43");
}

void TestWindow::madeUpBreaksOnlyInView() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, hex);
    QFETCH(int, lines);
    QFETCH(QString, copied);
    FakeSerialPort port;
    Form1 w(&port);
    w.trs->setHexView(hex);
    w.trs->insert(bytes);
    QCOMPARE(w.trs->text(), copied);
    QCOMPARE(w.trs->document()->blockCount(), lines);
    w.trs->selectAll();
    w.trs->copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), copied);
    // A selection from inside the first line into the second joins them too.
    if (copied.startsWith(u'\u27e8')) return; // a name cut in half has no brackets
    QTextCursor c(w.trs->document());
    c.setPosition(1);
    c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    w.trs->setTextCursor(c);
    w.trs->copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), copied.mid(1));
}

// A narrow window wraps between a name and a value, never inside either, and
// never inside the verdict line; nor inside a value with letters around - or /.
void TestWindow::wrapsOnlyBetweenTokens_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("digits") << QByteArray("0010123.4-5/6") << QStringLiteral("ERR\u00a0SUM=00791");
    QTest::newRow("letters") << QByteArray("ABCDE-FGHIJ/KLMNO")
                             << QStringLiteral("ERR\u00a0SUM=01323");
}

void TestWindow::wrapsOnlyBetweenTokens() {
    QFETCH(QByteArray, value);
    QFETCH(QString, verdict);
    FakeSerialPort port;
    Form1 w(&port);
    w.rec->resize(QFontMetrics(w.rec->font()).horizontalAdvance(QLatin1Char('0')) * 18 + 30,
                  w.rec->height());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    port.receive(QByteArray::fromHex("14 30 31 02") + value + " 00443" +
                 QByteArray::fromHex("17 BA 03 03"));
    w.rec->flush();
    QStringList lines;
    const QTextBlock b = w.rec->document()->firstBlock();
    QVERIFY(b.layout()->lineCount() > 3);
    for (int i = 0; i < b.layout()->lineCount(); ++i) {
        const QTextLine l = b.layout()->lineAt(i);
        QTextCursor c(w.rec->document());
        c.setPosition(l.textStart());
        c.setPosition(l.textStart() + l.textLength(), QTextCursor::KeepAnchor);
        lines << c.selectedText().remove(QChar(0x200B)).remove(QChar(0x2060)).trimmed();
    }
    QCOMPARE(lines.join(QString()).remove(QLatin1Char(' ')).remove(QChar(0xA0)),
             QStringLiteral("DC401STX") + QString::fromLatin1(value) +
                 QStringLiteral("00443ETBBAETXETX") + QString(verdict).remove(QChar(0xA0)));
    const QStringList tokens{"DC4", "01",  "STX",  QString::fromLatin1(value), "00443", "ETB", "BA",
                             "ETX", "ETX", verdict};
    for (const QString &line : lines) {
        // Each wrapped line is made of whole tokens.
        QString rest = line;
        while (!rest.isEmpty()) {
            rest = rest.trimmed();
            const auto it = std::find_if(tokens.begin(), tokens.end(),
                                         [&](const QString &t) { return rest.startsWith(t); });
            QVERIFY2(it != tokens.end(), qPrintable(line));
            rest.remove(0, it->size());
        }
    }
}

// However a flood is cut into flushes, the window ends up with the same
// lines, the last kMaxLines of them.
void TestWindow::boundedAndSameAsPerEvent() {
    FakeSerialPort port;
    Form1 w(&port);
    const int lines = ByteWindow::kMaxLines * 5 / 2 + 7;
    for (int i = 0; i < lines; ++i) {
        const QByteArray line = QByteArray::number(i) + (i % 3 ? "\x02x\r\n" : "\xff\n");
        w.trs->insert(line);
        w.rec->insert(line);
        if (i % 97 == 0) w.trs->flush(); // rec: never until read
    }
    const QString trs = w.trs->text();
    QCOMPARE(w.rec->text(), trs);
    // The README's figure, not the constant: a changed cap must show here.
    QCOMPARE(w.trs->document()->blockCount(), 20000);
    QCOMPARE(w.rec->document()->blockCount(), 20000);
    QVERIFY(trs.endsWith(QString::number(lines - 1) + QStringLiteral(u"⟨STX⟩x\n")));
    QVERIFY(trs.startsWith(QString::number(lines - 20000 + 1)));
}

void TestWindow::savePath_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("saved"); // "@" stands for the scratch directory
    QTest::newRow("new name without suffix") << "@/new"
                                             << "@/new.txt";
    QTest::newRow("new name with suffix") << "@/new.csv"
                                          << "@/new.csv";
    QTest::newRow("existing file without suffix") << "@/plain"
                                                  << "@/plain";
    QTest::newRow("name whose .txt exists") << "@/taken"
                                            << "@/taken";
    QTest::newRow("device") << "/dev/full"
                            << "/dev/full";
}

void TestWindow::savePath() {
    QFETCH(QString, typed);
    QFETCH(QString, saved);
    QTemporaryDir dir;
    for (const char *name : {"plain", "taken.txt"}) {
        QFile f(dir.filePath(QLatin1String(name)));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QCOMPARE(save_path(typed.replace(u'@', dir.path()), QStringLiteral("txt")),
             saved.replace(u'@', dir.path()));
}

// 另存为 through the dialog, as typed: the file holds what arrived, with the
// bytes' own line breaks only.
void TestWindow::saveAsWritesWhatArrived() {
    QTemporaryDir dir;
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.rec->insert(QByteArray(300, 'A') + "\x02\r\n");
    QAction *saveAs = nullptr;
    for (QAction *a : w.rec->createMenu()->actions())
        if (a->text() == QStringLiteral("另存为文本文件…")) saveAs = a;
    QVERIFY(saveAs);
    saveAs->trigger();
    QFileDialog *dialog = nullptr;
    QTRY_VERIFY((dialog = w.rec->findChild<QFileDialog *>()));
    dialog->selectFile(dir.filePath("record"));
    QMetaObject::invokeMethod(dialog, "accept");
    QFile f(dir.filePath("record.txt"));
    QTRY_VERIFY(f.exists());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(f.readAll()), QString(300, u'A') + QStringLiteral(u"⟨STX⟩\n\n"));
}

// The context menu, as a right click opens it: the entries, and the two view
// settings, off until chosen, then applied to what arrives.
void TestWindow::menuViewSettings() {
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.cmdtest->click();
    port.receive(QByteArray::fromHex("06"));
    QCOMPARE(w.rec->text(), QStringLiteral(u"⟨ACK⟩ACK\n"));

    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(20, 20),
                            w.rec->viewport()->mapToGlobal(QPoint(20, 20)));
    QApplication::sendEvent(w.rec->viewport(), &click);
    QMenu *menu = nullptr;
    QTRY_VERIFY((menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())));
    QStringList entries;
    for (QAction *a : menu->actions())
        if (!a->isSeparator()) entries << a->text() + (a->isChecked() ? "*" : "");
    QCOMPARE(
        entries,
        (QStringList{QStringLiteral("复制"), QStringLiteral("全选"), QStringLiteral("清空本窗口"),
                     QStringLiteral("另存为文本文件…"), QStringLiteral("开始会话日志…"),
                     QStringLiteral("开始抓包（Wireshark）…"), QStringLiteral("连续测试…"),
                     QStringLiteral("以十六进制显示字节"), QStringLiteral("显示到达时间")}));
    menu->actions().at(menu->actions().size() - 2)->trigger(); // hex
    menu->close();
    w.rec->createMenu()->actions().constLast()->trigger(); // time

    w.Timer1.stop();
    w.cmdtest->click();
    port.receive(QByteArray::fromHex("14 30 31 15"));
    const QString added = w.rec->text().mid(QStringLiteral(u"⟨ACK⟩ACK\n").size());
    QVERIFY2(QRegularExpression(QStringLiteral(u"^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d 14 30 31 15"
                                               u"NAK\n$"))
                 .match(added)
                 .hasMatch(),
             qPrintable(added));
    QVERIFY(w.trs->text().endsWith(QStringLiteral(u"⟨DC4⟩01⟨DC1⟩00101⟨ETX⟩\n"))); // trs as before

    w.rec->clearWindow();
    QCOMPARE(w.rec->text(), QString());
}

void TestWindow::recordsOfDefaultTest_data() {
    // The signal, then the direction line and its level at the write as tshark shows them.
    QTest::addColumn<QString>("row");
    QTest::newRow("RTS on while sending") << "RTS=1 1 1";
    QTest::newRow("DTR off while sending") << "DTR=0 2 0";
    QTest::newRow("the driver switches") << "RS485 0 ";
}

// One default TEST, its reply in two batches, in the session log (the 11
// bytes sent and the reply, with times) and in a capture read back by tshark
// with the shipped dissector (the frame with the line's level at the write,
// the reply as one packet, its verdict and the link between them).
void TestWindow::recordsOfDefaultTest() {
    QFETCH(QString, row);
    const QStringList signal = row.split(' ');
    QTemporaryDir dir;
    const QString path = dir.filePath("session.log"), capture = dir.filePath("test.pcap");
    FakeSerialPort port;
    Form1 w(&port);
    w.Combo3->setEditText(signal[0]);
    QVERIFY(w.startLog(path));
    QVERIFY(w.startCapture(capture));
    w.cmdtest->click();
    port.receive(QByteArray::fromHex("14 30 31 02 30 30 31 30 31 32"));
    port.receive(QByteArray::fromHex("33 2E 34 30 30 35 36 30 17"));
    QTRY_VERIFY(!w.Timer1.isActive());
    w.sessionLog().stop();
    w.capture().stop();
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    QVERIFY(lines.takeFirst().startsWith(QLatin1Char('#')));
    QCOMPARE(lines.takeLast(), QString());
    const QStringList expected{
        QStringLiteral(u"TX\t14 30 31 11 30 30 31 30 31 03 03\t⟨DC4⟩01⟨DC1⟩00101⟨ETX⟩⟨ETX⟩"),
        QStringLiteral(u"RX\t14 30 31 02 30 30 31 30 31 32\t⟨DC4⟩01⟨STX⟩001012"),
        QStringLiteral(u"RX\t33 2E 34 30 30 35 36 30 17\t3.400560⟨ETB⟩")};
    QCOMPARE(lines.size(), expected.size());
    const QRegularExpression time(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\t"));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QVERIFY2(time.match(lines[i]).hasMatch(), qPrintable(lines[i]));
        QCOMPARE(lines[i].mid(24), expected[i]);
    }
    const auto rows = tshark_rows(
        capture, {"kestrova.direction", "kestrova.line", "kestrova.level", "kestrova.kind",
                  "kestrova.concentrator", "kestrova.address", "kestrova.verdict", "kestrova.value",
                  "kestrova.request_in", "kestrova.response_in"});
    const QList<QStringList> packets{
        QString("3\t%1\t%2\trequest\t01\t001\tok\t23.4\t\t2").arg(signal[1], signal[2]).split('\t'),
        QString("4\t0\t\treply\t01\t001\tok\t23.4\t1\t").split('\t')};
    QCOMPARE(rows, packets);
}

// Text flooding in outside any TEST goes into packets of a bounded size,
// every byte kept, each one a packet Wireshark takes.
void TestWindow::captureOfAFlood() {
    QTemporaryDir dir;
    const QString capture = dir.filePath("flood.pcap");
    FakeSerialPort port;
    Form1 w(&port);
    QVERIFY(w.startCapture(capture));
    for (int i = 0; i < 1000; ++i)
        port.receive(QByteArray(100, 'x'));
    w.capture().stop();
    int bytes = 0;
    for (const QStringList &r : tshark_rows(capture, {"kestrova.direction", "frame.len"})) {
        QCOMPARE(r.value(0), QStringLiteral("4"));
        QVERIFY2(r.value(1).toInt() <= 65535, qPrintable(r.join(' ')));
        bytes += r.value(1).toInt() - 32; // the tags and our header
    }
    QCOMPARE(bytes, 100000);
}

void TestWindow::logWriteErrorGivesOneMessage_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("disk full") << "/dev/full";
    QTest::newRow("no such directory") << "/nonexistent-dir/session.log";
}

void TestWindow::logWriteErrorGivesOneMessage() {
    QFETCH(QString, path);
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.startLog(path);
    const auto messageShown = [&] { return w.messageBox() && w.messageBox()->isVisible(); };
    for (int i = 0; i < 3; ++i) {
        QTRY_COMPARE(messageShown(), i == 0);
        if (i == 0) {
            QVERIFY2(w.lastMessage().contains(path), qPrintable(w.lastMessage()));
            w.messageBox()->close();
        }
        w.cmdtest->click();
        port.receive(QByteArray::fromHex("14 30 31 06"));
        QCOMPARE(port.writes.size(), i + 1);
        QVERIFY(w.rec->text().endsWith(QStringLiteral(u"⟨DC4⟩01⟨ACK⟩ACK\n")));
    }
    QVERIFY(!messageShown());
    QVERIFY(!w.sessionLog().isOpen());
}

// F5 presses TEST wherever the focus is, a selection box included.
void TestWindow::f5PressesTest() {
    FakeSerialPort port;
    Form1 w(&port);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    for (QWidget *at : {static_cast<QWidget *>(w.Combo6), static_cast<QWidget *>(w.rec)}) {
        at->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F5);
        w.Timer1.stop();
    }
    QCOMPARE(port.writes.size(), 2);
    QCOMPARE(port.writes.last(), QByteArray::fromHex("14 30 31 11 30 30 31 30 31 03 03"));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
