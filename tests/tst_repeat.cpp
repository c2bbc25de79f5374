// 连续测试 against the real simulator over a pseudo-terminal: the counts, the
// plot's marks and the exported CSV agree with what the receive window shows.
#include "form1.h"
#include "qtserialport.h"
#include "repeatwindow.h"
#include "simprocess.h"

#include "ptyutil.h"

#include <QLineSeries>
#include <QScatterSeries>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

class TestRepeat : public QObject {
    Q_OBJECT
private slots:
    void run_data();
    void run();
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

QTEST_MAIN(TestRepeat)
#include "tst_repeat.moc"
