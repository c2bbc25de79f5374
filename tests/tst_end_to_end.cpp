// The console against the real simulator process, over a pseudo-terminal, with
// the QSerialPort implementation: no fake anywhere. What the windows must show
// is written out by hand. The windows' text gives control bytes as their names
// in angle brackets (⟨STX⟩) and CR LF as a line break.
#include "form1.h"
#include "portmap.h"
#include "qtserialport.h"
#include "simprocess.h"

#include "ptyutil.h"

#include <QProcess>
#include <QtTest>
#include <csignal>

namespace {

// The console under test: the real window on the real serial component. The text
// windows break a line that reaches their width; made wide here, so that every
// line break in them is a CR LF the console inserted.
struct Console {
    explicit Console(const QString &device) : port(decoy_map(1, device)), w(&port) {
        w.trs->resize(2000, w.trs->height());
        w.rec->resize(2000, w.rec->height());
    }
    QtSerialPort port;
    Form1 w;
};

// "Combo6=004" sets Combo6's text to 004.
void setBoxes(Form1 &w, const QStringList &boxes) {
    for (const QString &b : boxes) {
        const qsizetype eq = b.indexOf(QLatin1Char('='));
        auto *box = w.findChild<SelectionBox *>(b.left(eq));
        QVERIFY2(box, qPrintable(b));
        box->setEditText(b.mid(eq + 1));
    }
}

const QString kDefaultRec =
    QStringLiteral(u"\u27e8DC4\u27e901\u27e8STX\u27e90010123.400560\u27e8ETB\u27e9OK SUM=00560\n");
const QString kWrite = QStringLiteral(u"写参数(DC3)");
const QString kReadPar = QStringLiteral(u"读参数(DC2)");

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void transaction_data();
    void transaction();
    void ackThenNakAfterWrongSum();
    void writtenValueIsReadBack();
    void timeOut_data();
    void timeOut();
    void splitReplyComesInSeveralBatches();
    void atCommandReachesSimulator();
    void consoleStartsSimulator();
    void consoleWithoutDisplay_data();
    void consoleWithoutDisplay();
    void signalReleasesPort_data();
    void signalReleasesPort();
};

void TestEndToEnd::initTestCase() {
    QVERIFY2(QFileInfo(qEnvironmentVariable("KC_SIM")).isExecutable(),
             "KC_SIM must name kestrova-sim");
}

void TestEndToEnd::transaction_data() {
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QString>("rec");

    QTest::newRow("default TEST") << QStringList() << QStringList() << kDefaultRec;
    QTest::newRow("read PV, instrument model")
        << QStringList() << QStringList{"Combo4=PM-01"}
        << QStringLiteral(u"\u27e8STX\u27e90010123.400443\u27e8ETB\u27e9OK SUM=00443\n");
    QTest::newRow("read parameter")
        << QStringList() << QStringList{"Combo5=" + kReadPar}
        << QStringLiteral(u"\u27e8DC4\u27e901\u27e8STX\u27e900101\u27e8US\u27e901\u27e8US\u27e90001"
                          u".000807\u27e8ETB\u27e9OK SUM=00807\n");
    QTest::newRow("read parameter 20 of 003/04, instrument model")
        << QStringList()
        << QStringList{"Combo4=PM-07", "Combo5=" + kReadPar, "Combo6=003", "Combo7=04", "Combo8=20"}
        << QStringLiteral(u"\u27e8STX\u27e900304\u27e8US\u27e920\u27e8US\u27e90020."
                          u"000697\u27e8ETB\u27e9OK SUM=00697\n");
    QTest::newRow("write parameter: ACK")
        << QStringList() << QStringList{"Combo5=" + kWrite}
        << QStringLiteral(u"\u27e8DC4\u27e901\u27e8ACK\u27e9ACK\n");
    QTest::newRow("write parameter 21 (none): NAK")
        << QStringList() << QStringList{"Combo5=" + kWrite, "Combo8=21"}
        << QStringLiteral(u"\u27e8DC4\u27e901\u27e8NAK\u27e9NAK\n");
    QTest::newRow("corrupted reply: ERR with the right sum")
        << QStringList{"--bad-sum", "1"} << QStringList()
        << QStringLiteral(
               u"\u27e8DC4\u27e901\u27e8STX\u27e90010123.400561\u27e8ETB\u27e9ERR SUM=00560\n");
    // The echoed request opens with DC4 too: the sum runs from the echo's DC4
    // over both ETX and the reply, 382 + 560.
    QTest::newRow("echoed request, concentrator: ERR from the echo's DC4")
        << QStringList{"--echo"} << QStringList()
        << QStringLiteral(u"\u27e8DC4\u27e901\u27e8DC1\u27e900101\u27e8ETX\u27e9\u27e8ETX\u27e9"
                          u"\u27e8DC4\u27e901\u27e8STX\u27e90010123.400560\u27e8ETB\u27e9"
                          u"ERR SUM=00942\n");
    // Without DC4 in the echo the STX of the reply is the first start marker.
    QTest::newRow("echoed request, instrument model: OK")
        << QStringList{"--echo"} << QStringList{"Combo4=PM-01"}
        << QStringLiteral(u"\u27e8DC1\u27e900101\u27e8ETX\u27e9\u27e8ETX\u27e9\u27e8STX\u27e9001012"
                          u"3.400443\u27e8ETB\u27e9OK SUM=00443\n");
    QTest::newRow("reply split in four")
        << QStringList{"--split", "4", "--split-gap", "30"} << QStringList() << kDefaultRec;
    QTest::newRow("reply paced at 9600 baud")
        << QStringList{"--pace"} << QStringList() << kDefaultRec;
    QTest::newRow("concentrator address 02 on both sides")
        << QStringList{"--concentrator", "2"} << QStringList{"Combo10=02"}
        << QStringLiteral(
               u"\u27e8DC4\u27e902\u27e8STX\u27e90010123.400561\u27e8ETB\u27e9OK SUM=00561\n");
}

void TestEndToEnd::transaction() {
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, boxes);
    QFETCH(QString, rec);
    SimProcess sim(simArgs, SimProcess::Keep);
    QVERIFY2(sim.device().startsWith("/dev/"), qPrintable(sim.device()));
    Console console(sim.device());
    Form1 &w = console.w;
    setBoxes(w, boxes);

    w.cmdtest->click();
    QVERIFY2(w.lastMessage().isEmpty(), qPrintable(w.lastMessage()));
    QTRY_COMPARE_WITH_TIMEOUT(w.rec->text(), rec, 10000);
    QVERIFY(!w.Timer1.isActive());
    // Nothing more follows.
    QTest::qWait(150);
    QCOMPARE(w.rec->text(), rec);
}

void TestEndToEnd::ackThenNakAfterWrongSum() {
    // Every second sum the simulator works out is wrong: the second write's
    // check fails although the console sent the same frame.
    SimProcess sim({"--bad-sum", "2"}, SimProcess::Keep);
    Console console(sim.device());
    Form1 &w = console.w;
    setBoxes(w, {"Combo5=" + kWrite});

    w.cmdtest->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.rec->text(),
                              QStringLiteral(u"\u27e8DC4\u27e901\u27e8ACK\u27e9ACK\n"), 10000);
    QVERIFY(!w.Timer1.isActive());
    w.cmdtest->click();
    QTRY_COMPARE_WITH_TIMEOUT(
        w.rec->text(),
        QStringLiteral(
            u"\u27e8DC4\u27e901\u27e8ACK\u27e9ACK\n\u27e8DC4\u27e901\u27e8NAK\u27e9NAK\n"),
        10000);
    const QString frame =
        QStringLiteral(u"\u27e8DC4\u27e901\u27e8DC3\u27e900101\u27e8US\u27e901\u27e8US\u27e90000."
                       u"0\u27e8US\u27e900854\u27e8ETX\u27e9\n");
    QCOMPARE(w.trs->text(), frame + frame);
    QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains(QStringLiteral("校验和错")), 5000);
}

void TestEndToEnd::writtenValueIsReadBack() {
    SimProcess sim({});
    Console console(sim.device());
    Form1 &w = console.w;
    setBoxes(w, {"Combo5=" + kWrite, "Combo8=05", "Combo9=0123.4"});
    w.cmdtest->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.rec->text(),
                              QStringLiteral(u"\u27e8DC4\u27e901\u27e8ACK\u27e9ACK\n"), 10000);
    QCOMPARE(w.trs->text(),
             QStringLiteral(u"\u27e8DC4\u27e901\u27e8DC3\u27e900101\u27e8US\u27e905\u27e8US\u27e901"
                            u"23.4\u27e8US\u27e900868\u27e8ETX\u27e9\n"));

    setBoxes(w, {"Combo5=" + kReadPar});
    w.cmdtest->click();
    QTRY_COMPARE_WITH_TIMEOUT(
        w.rec->text(),
        QStringLiteral(u"\u27e8DC4\u27e901\u27e8ACK\u27e9ACK\n\u27e8DC4\u27e901\u27e8STX\u27e900101"
                       u"\u27e8US\u27e905\u27e8US\u27e90123.400820\u27e8ETB\u27e9"
                       u"OK SUM=00820\n"),
        10000);
}

void TestEndToEnd::timeOut_data() {
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QString>("logged");
    QTest::newRow("unknown address 004")
        << QStringList() << QStringList{"Combo6=004"} << QStringLiteral("无此地址 004");
    QTest::newRow("other concentrator address 02")
        << QStringList() << QStringList{"Combo10=02"} << QStringLiteral("集中器地址 2 不是本机");
    QTest::newRow("reply dropped")
        << QStringList{"--drop", "1"} << QStringList() << QStringLiteral("丢弃回复");
}

void TestEndToEnd::timeOut() {
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, boxes);
    QFETCH(QString, logged);
    SimProcess sim(simArgs, SimProcess::Keep);
    Console console(sim.device());
    Form1 &w = console.w;
    setBoxes(w, boxes);

    w.cmdtest->click();
    QVERIFY(w.Timer1.isActive());
    QTRY_VERIFY_WITH_TIMEOUT(!w.Timer1.isActive(), 10000);
    QCOMPARE(w.rec->text(), QStringLiteral("\n"));
    QCOMPARE(w.Text1->text(), QStringLiteral(u"████████████████████████"));
    QTRY_VERIFY2_WITH_TIMEOUT(sim.log().contains(logged), qPrintable(sim.log()), 5000);
}

void TestEndToEnd::splitReplyComesInSeveralBatches() {
    SimProcess sim({"--split", "3", "--split-gap", "40"}, SimProcess::Keep);
    Console console(sim.device());
    Form1 &w = console.w;
    QSignalSpy comm(&console.port, &SerialPort::comm);
    w.cmdtest->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.rec->text(), kDefaultRec, 10000);
    int batches = 0;
    for (const QList<QVariant> &ev : comm)
        batches += ev.at(0).toInt() == 2 ? 1 : 0;
    // Three writes 40 ms apart cannot be read as one batch; the verdict came once.
    QVERIFY2(batches >= 3, qPrintable(QString::number(batches)));
    QVERIFY(sim.log().contains(QStringLiteral("分 3 次写出")));
}

void TestEndToEnd::atCommandReachesSimulator() {
    SimProcess sim({"--echo"}, SimProcess::Keep);
    Console console(sim.device());
    Form1 &w = console.w;
    w.Command1->click();
    QVERIFY2(w.lastMessage().isEmpty(), qPrintable(w.lastMessage()));
    QCOMPARE(w.trs->text(), QStringLiteral("+++ATDT5550123\n"));
    QTRY_VERIFY2_WITH_TIMEOUT(sim.log().contains(QStringLiteral("略过 +++ATDT5550123<CR><LF>")),
                              qPrintable(sim.log()), 5000);
    // The bus echoes it, so the line came back through the same port.
    QTRY_COMPARE_WITH_TIMEOUT(w.rec->text(), QStringLiteral("+++ATDT5550123\n"), 5000);
}

void TestEndToEnd::consoleStartsSimulator() {
    // --simulate finds the simulator, reads its device and maps COM1 to it.
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttySIM"));
    QProcess console;
    console.setProgram(qEnvironmentVariable("KC_CONSOLE"));
    // --simulate maps COM1 after the decoys: only the other fifteen stay on them.
    console.setArguments(decoy_com_args() + QStringList{"--simulate", "--sim-arg=--concentrator",
                                                        "--sim-arg=7", "--sim-arg=--link",
                                                        "--sim-arg=" + link});
    console.start();
    QVERIFY(console.waitForStarted(5000));
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += console.readAllStandardError()).contains("集中器 07"), 10000);
    const QString text = QString::fromUtf8(err);
    const QRegularExpression mapped(QStringLiteral("COM1 接到模拟器 (/dev/pts/\\d+)"));
    const QRegularExpressionMatch m = mapped.match(text);
    QVERIFY2(m.hasMatch(), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("在 %1 上服务").arg(m.captured(1))));
    QCOMPARE(QFileInfo(link).symLinkTarget(), m.captured(1));
    QCOMPARE(console.state(), QProcess::Running);
    // However the console ends, the simulator notices its output pipe close,
    // ends too and takes its link away.
    console.kill();
    QVERIFY(console.waitForFinished(5000));
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo(link).isSymLink(), 5000);
}

void TestEndToEnd::consoleWithoutDisplay_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // expected in standard output or error
    QTest::newRow("window") << QStringList{} << 2 << QStringLiteral("kestrova-probe");
    QTest::newRow("-platform xcb")
        << QStringList{"-platform", "xcb"} << 2 << QStringLiteral("kestrova-probe");
    QTest::newRow("--version") << QStringList{"--version"} << 0
                               << QStringLiteral("kestrova-comtest " KC_VERSION "\n");
    QTest::newRow("--help") << QStringList{"--help"} << 0 << QStringLiteral("--simulate");
}

void TestEndToEnd::consoleWithoutDisplay() {
    // Over ssh: no display and no platform chosen. Help and version still
    // answer; the window is refused with a pointer to the headless tool.
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, out);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    QProcess console;
    console.setProcessEnvironment(env);
    console.start(qEnvironmentVariable("KC_CONSOLE"), args);
    QVERIFY(console.waitForFinished(10000));
    const QString text =
        QString::fromUtf8(console.readAllStandardOutput() + console.readAllStandardError());
    QCOMPARE(console.exitStatus(), QProcess::NormalExit);
    QCOMPARE(console.exitCode(), status);
    QVERIFY2(text.contains(out), qPrintable(text));
}

void TestEndToEnd::signalReleasesPort_data() {
    QTest::addColumn<int>("signo");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

// Ended by a signal, the console lets go of its port as EXIT does: QSerialPort's
// lock file goes with it. TEST is pressed in the real console on an X server.
void TestEndToEnd::signalReleasesPort() {
    QFETCH(int, signo);
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("needs Xvfb and xdotool to press TEST in the real console");
    Pty pty;
    QVERIFY(pty.ok());
    // KC_TEST_DISPLAY (":99") picks the X server's display; by default the
    // first free one.
    QProcess xvfb;
    QStringList xvfbArgs{"-displayfd", "1", "-nolisten", "tcp"};
    if (const QString chosen = qEnvironmentVariable("KC_TEST_DISPLAY"); !chosen.isEmpty())
        xvfbArgs.prepend(chosen);
    xvfb.start(QStringLiteral("Xvfb"), xvfbArgs);
    QVERIFY(xvfb.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(xvfb.canReadLine(), 10000);
    const QString display = QLatin1Char(':') + QString::fromLatin1(xvfb.readLine()).trimmed();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    auto xdotool = [&env](const QStringList &args) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("xdotool"), args);
        p.waitForFinished(15000);
        return QString::fromLatin1(p.readAllStandardOutput()).split(QLatin1Char('\n')).first();
    };

    QProcess console;
    console.setProcessEnvironment(env);
    console.start(qEnvironmentVariable("KC_CONSOLE"),
                  decoy_com_args() + QStringList{"--com", "COM1=" + pty.slavePath()});
    QVERIFY(console.waitForStarted(5000));
    const QString window = xdotool({"search", "--sync", "--onlyvisible", "--name", "Kestrova"});
    QVERIFY(!window.isEmpty());
    xdotool({"windowfocus", "--sync", window, "key", "Return"}); // TEST has the focus
    QCOMPARE(pty.read(11, 10000), QByteArray::fromHex("1430311130303130310303"));

    // Where QSerialPort keeps its locks: the first of these it can write to.
    const QString name = QStringLiteral("LCK..") + pty.slavePath().mid(5).replace('/', '_');
    QString lock;
    for (const QString &dir :
         {QStringLiteral("/var/lock"), QStringLiteral("/etc/locks"),
          QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"), QDir::tempPath()})
        if (lock.isEmpty() && QFile::exists(dir + QLatin1Char('/') + name))
            lock = dir + QLatin1Char('/') + name;
    QVERIFY2(!lock.isEmpty(), qPrintable(name));

    QVERIFY(::kill(pid_t(console.processId()), signo) == 0);
    QVERIFY(console.waitForFinished(10000));
    QCOMPARE(console.exitStatus(), QProcess::NormalExit);
    QCOMPARE(console.exitCode(), 128 + signo);
    QVERIFY2(!QFile::exists(lock), qPrintable(lock));
    xvfb.terminate();
    xvfb.waitForFinished(5000);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_end_to_end.moc"
