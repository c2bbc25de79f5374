// 连续测试 against the real simulator over a pseudo-terminal: the counts, the
// plot's marks and the exported CSV agree with what the receive window shows.
#include "form1.h"
#include "qtserialport.h"
#include "repeatwindow.h"
#include "simprocess.h"

#include "ptyutil.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <QChartView>
#include <QLineSeries>
#include <QScatterSeries>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QValueAxis>
#include <QtTest>

class TestRepeat : public QObject {
    Q_OBJECT
private slots:
    void run_data();
    void run();
    void portGoesAway_data();
    void portGoesAway();
    void longRunStaysBounded_data();
    void longRunStaysBounded();
};

void TestRepeat::run_data() {
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("repeats");
    QTest::addColumn<int>("ok");
    QTest::addColumn<int>("err");
    QTest::addColumn<int>("timeouts");
    QTest::newRow("every fifth request unanswered")
        << QStringList{"--drop", "5"} << 100 << 80 << 0 << 20;
    QTest::newRow("every seventh sum wrong") << QStringList{"--bad-sum", "7"} << 14 << 12 << 2 << 0;
}

void TestRepeat::run() {
    QFETCH(QStringList, simArgs);
    QFETCH(int, repeats);
    QFETCH(int, ok);
    QFETCH(int, err);
    QFETCH(int, timeouts);
    SimProcess sim(simArgs);
    QtSerialPort port(decoy_map(1, sim.device()));
    Form1 w(&port);
    w.rec->resize(2000, w.rec->height());
    RepeatWindow *r = w.repeatWindow();
    r->interval->setValue(300);
    r->count->setValue(repeats);
    r->start();
    // Presses by hand during the run send nothing: trs ends with one frame a repeat.
    for (int i = 0; i < 6; ++i) {
        QTest::qWait(170);
        QTest::mouseClick(w.cmdtest, Qt::LeftButton);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!r->running(), repeats * 400 + 5000);
    QCOMPARE(w.trs->text().count(QLatin1Char('\n')), repeats);

    const Tally &t = r->tally();
    QCOMPARE(t.sent(), repeats);
    QCOMPARE(t.count(Verdict::Ok), ok);
    QCOMPARE(t.count(Verdict::Err), err);
    QCOMPARE(t.count(Verdict::Timeout), timeouts);
    QCOMPARE(r->failures->count(), repeats - ok);
    QCOMPARE(r->latencies->count(), repeats - timeouts);
    const QString rec = w.rec->text();
    QCOMPARE(rec.count(QStringLiteral("ERR SUM=")), err);

    // The receive window's verdict line of each TEST, an empty line for a time-out.
    QStringList shown;
    for (const QString &line : rec.split(QLatin1Char('\n'), Qt::KeepEmptyParts).mid(0, repeats)) {
        const qsizetype v = line.indexOf(QRegularExpression(QStringLiteral("(OK|ERR) SUM=")));
        shown << (line.isEmpty() ? QStringLiteral("超时") : v < 0 ? line : line.mid(v));
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("run.csv"));
    QVERIFY(r->exportTo(path));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray csv = f.readAll();
    QVERIFY(csv.startsWith("\xEF\xBB\xBF时间,通讯口,波特率,"));
    QStringList rows = QString::fromUtf8(csv).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    rows.removeFirst();
    QCOMPARE(rows.size(), repeats);
    QStringList verdicts;
    for (QString row : rows)
        verdicts << row.replace(QStringLiteral("\"9600,n,8,2\""), QStringLiteral("s"))
                        .section(QLatin1Char(','), 8, 8);
    QCOMPARE(verdicts, shown);
    QVERIFY(rows.first().startsWith(QDate::currentDate().toString(Qt::ISODate)));
    QVERIFY(rows.first().contains(QStringLiteral(",COM1,\"9600,n,8,2\",")));
}

void TestRepeat::portGoesAway_data() {
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<bool>("duringWait");
    QTest::addColumn<int>("sent"); // the TEST at which the simulator ends
    QTest::addColumn<int>("ok");
    QTest::addColumn<int>("timeouts");
    QTest::newRow("gone between TESTs") << QStringList{} << false << 3 << 3 << 0;
    // The fourth reply is never sent: the device goes while it is awaited.
    QTest::newRow("gone while a reply is awaited")
        << QStringList{"--drop", "4"} << true << 4 << 3 << 1;
}

// An adapter pulled during a run: the run ends with the console's message for
// the port, and what was counted before stays.
void TestRepeat::portGoesAway() {
    QFETCH(QStringList, simArgs);
    QFETCH(bool, duringWait);
    QFETCH(int, sent);
    QFETCH(int, ok);
    QFETCH(int, timeouts);
    SimProcess sim(simArgs);
    QVERIFY(!sim.device().isEmpty());
    QtSerialPort port(decoy_map(1, sim.device()));
    Form1 w(&port);
    RepeatWindow *r = w.repeatWindow();
    r->interval->setValue(300);
    r->count->setValue(20);
    int writes = 0, verdicts = 0;
    connect(w.MSComm1, &PortSession::sent, this, [&] {
        if (++writes == sent && duringWait) sim.stop();
    });
    connect(&w, &Form1::tested, this, [&] {
        if (++verdicts == sent && !duringWait) sim.stop();
    });
    r->start();
    QTRY_VERIFY_WITH_TIMEOUT(!r->running(), 20 * 400);
    QCOMPARE(writes, sent);
    QCOMPARE(w.trs->text().count(QLatin1Char('\n')), sent);
    QCOMPARE(r->startStop->text(), QStringLiteral("开始"));
    QVERIFY(r->startStop->isEnabled());

    QVERIFY(w.messageBox() && w.messageBox()->isVisible());
    const QString said = w.lastMessage();
    QVERIFY2(
        said.contains(QStringLiteral("通讯口 COM1（%1） 已断开：设备已挂断").arg(sim.device())),
        qPrintable(said));
    QVERIFY2(said.endsWith(QStringLiteral("设备恢复后按 TEST 重新打开。")), qPrintable(said));

    const Tally &t = r->tally();
    QCOMPARE(t.sent(), sent);
    QCOMPARE(t.count(Verdict::Ok), ok);
    QCOMPARE(t.count(Verdict::Timeout), timeouts);
    QCOMPARE(r->latencies->count(), ok);
    QVERIFY(r->counts->text().startsWith(QStringLiteral("发送 %1    OK %2 ").arg(sent).arg(ok)));
    // Nothing more goes out once the run has ended.
    QTest::qWait(700);
    QCOMPARE(writes, sent);
    QCOMPARE(t.sent(), sent);
}

void TestRepeat::longRunStaysBounded_data() {
    QTest::addColumn<int>("failEvery"); // 1: every TEST times out
    QTest::newRow("every TEST times out") << 1;
    QTest::newRow("one in seven a wrong sum") << 7;
}

// Thousands of results: the plot stays within its bounds, still spans the
// whole run, and keeps the one peak from early on.
void TestRepeat::longRunStaysBounded() {
    QFETCH(int, failEvery);
    QtSerialPort port(decoy_map(1, QStringLiteral("/nonexistent")));
    Form1 w(&port);
    RepeatWindow *r = w.repeatWindow();
    const int n = 5000, peakAt = 336; // a failure in both rows
    for (int i = 1; i <= n; ++i) {
        Exchange e;
        e.verdict = i % failEvery ? Verdict::Ok : failEvery == 1 ? Verdict::Timeout : Verdict::Err;
        if (e.verdict != Verdict::Timeout) e.latencyMs = i == peakAt ? 95.0 : 8.0 + i % 3;
        r->record(e);
    }
    QCOMPARE(r->tally().sent(), n);
    QCOMPARE(r->latencies->count() > 0, failEvery > 1);
    const auto *x = qobject_cast<QValueAxis *>(r->plot->chart()->axes(Qt::Horizontal).value(0));
    QVERIFY(x && x->min() <= 1 && x->max() >= n);
    QCOMPARE(x->tickInterval(), 1000.0); // ticks on round numbers, five across
    for (const QXYSeries *s :
         {static_cast<QXYSeries *>(r->latencies), static_cast<QXYSeries *>(r->failures)}) {
        if (!s->count()) continue;
        const int most = s == r->failures ? RepeatWindow::kFailureMarks : RepeatWindow::kPlotPoints;
        QVERIFY2(s->count() <= most && s->count() >= most / 2,
                 qPrintable(QString::number(s->count())));
        QVERIFY(s->at(0).x() < n / 10); // the old end thinned, not dropped
        QVERIFY(s->at(s->count() - 1).x() > n - failEvery);
        double top = 0;
        for (const QPointF &p : s->points())
            top = std::max(top, p.y());
        QCOMPARE(top, failEvery == 1 ? double(Transaction::kTimeoutMs) : 95.0);
    }
}

QTEST_MAIN(TestRepeat)
#include "tst_repeat.moc"
