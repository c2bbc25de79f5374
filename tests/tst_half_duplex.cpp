// The console on the simulator's half-duplex bus: the real window and serial
// component run in a child with the line shim preloaded, which tells the
// simulator when each byte and each line change happened. A release too late
// or too early, a converter wired otherwise, or line settings the instruments
// do not hold must each cost the reply.
#include "childconsole.h"
#include "simprocess.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>

namespace {

// Where the instruments must answer, they do so 30 ms after the console's
// last bit: room for a release made without real-time priority (an
// unprivileged user, a container), which now and then comes up to 14 ms
// late. The rows that must fail keep the 3 ms of a quick instrument; the
// bench holds the timing claims.
const QString kRoomMs = QStringLiteral("30");
const QString kQuickMs = QStringLiteral("3");

} // namespace

class TestHalfDuplex : public QObject {
    Q_OBJECT
private slots:
    void tests_data();
    void tests();
};

void TestHalfDuplex::tests_data() {
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<bool>("reports");       // the shim reports to the simulator
    QTest::addColumn<QStringList>("faults"); // the shim's fault switches
    QTest::addColumn<QString>("boxes");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("kind");

    const QStringList hd{"--half-duplex", "--delay", kRoomMs};
    const QStringList quick{"--half-duplex", "--delay", kQuickMs};
    const QStringList none;
    QTest::newRow("released on time") << hd << true << none << "" << 100 << "ok";
    // A parameter read has a long reply: its tail outlasts the late release.
    QTest::newRow("release held back 20 ms: cut replies")
        << quick << true << QStringList{"KC_BUS_HOLD_MS=20"} << u"Combo5=读参数(DC2)"_qs << 5
        << "cut";
    QTest::newRow("release 5 ms early: cut frame, no reply")
        << quick << true << QStringList{"KC_BUS_EARLY_MS=5"} << "" << 5 << "none";
    QTest::newRow("converter DTR=1, RTS=0 row: no reply")
        << hd + QStringList{"--converter", "DTR=1"} << true << none << "" << 3 << "none";
    QTest::newRow("converter DTR=1, DTR=1 row")
        << hd + QStringList{"--converter", "DTR=1"} << true << none << "Combo3=DTR=1" << 3 << "ok";
    QTest::newRow("converter auto, RTS=1 row")
        << hd + QStringList{"--converter", "auto"} << true << none << "Combo3=RTS=1" << 3 << "ok";
    // The driver switches RTS on around what it sends.
    QTest::newRow("RS485 mode, converter RTS=1")
        << hd + QStringList{"--converter", "RTS=1"} << true << QStringList{"KC_FAKE_RS485=accept"}
        << "Combo3=RS485" << 3 << "ok";
    QTest::newRow("RS485 mode, converter RTS=0: no reply")
        << hd << true << QStringList{"KC_FAKE_RS485=accept"} << "Combo3=RS485" << 3 << "none";
    QTest::newRow("RS485 mode refused")
        << hd << true << QStringList{"KC_FAKE_RS485=refuse"} << "Combo3=RS485" << 2 << "unsent";
    // RTS on after sending only: the converter would never send.
    QTest::newRow("RS485 mode without RTS on send: refused")
        << hd + QStringList{"--converter", "RTS=1"} << true
        << QStringList{"KC_FAKE_RS485=no-rts-on-send"} << "Combo3=RS485" << 2 << "unsent";
    // A pseudo-terminal shows the simulator the console's rate and stop bits.
    const QStringList at4800n1{"--settings", "4800,n,8,1"};
    QTest::newRow("instruments at 4800,n,8,1, plain pty: no reply")
        << at4800n1 << false << none << "" << 2 << "none";
    QTest::newRow("instruments at 4800,n,8,1, mismatch noise")
        << at4800n1 + QStringList{"--mismatch", "noise"} << false << none << "" << 2 << "cut";
    // Parity it cannot see there; the shim reports what the console asked for.
    const QStringList at4800e1{"--settings", "4800,e,8,1"};
    QTest::newRow("instruments at 4800,e,8,1, console 4800,n,8,1: no reply")
        << at4800e1 << true << none << "Combo2=4800,n,8,1" << 2 << "none";
    QTest::newRow("instruments and console at 4800,e,8,1")
        << at4800e1 << true << none << "Combo2=4800,e,8,1" << 2 << "ok";
}

void TestHalfDuplex::tests() {
    QFETCH(QStringList, simArgs);
    QFETCH(bool, reports);
    QFETCH(QStringList, faults);
    QFETCH(QString, boxes);
    QFETCH(int, count);
    QFETCH(QString, kind);

    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("bus"));
    if (reports) simArgs << "--report-socket" << socket;
    SimProcess sim(simArgs, SimProcess::Keep);
    QVERIFY2(sim.device().startsWith("/dev/"), qPrintable(sim.log()));

    QProcessEnvironment env = line_shim_environment(reports ? socket : QString());
    for (const QString &f : faults)
        env.insert(f.section(QLatin1Char('='), 0, 0), f.section(QLatin1Char('='), 1));
    QProcess child;
    start_child_console(child,
                        {.device = sim.device(),
                         .boxes = boxes.split(u'|', Qt::SkipEmptyParts),
                         .count = count,
                         .verdicts = true},
                        env);
    QVERIFY(child.waitForFinished(120000));
    const QByteArray out = child.readAllStandardOutput();
    sim.stop(); // its log is read as it ends
    const QByteArray expected = QStringLiteral("%1 %2").arg(kind).arg(count).toLatin1();
    if (child.exitCode() != 0 || out.trimmed() != expected) {
        // Whole: a failure message is cut short. The simulator tells when the
        // converter went back to receiving and which characters were lost.
        const QByteArray why = child.readAllStandardError() + sim.log().toUtf8();
        std::fwrite(why.constData(), 1, size_t(why.size()), stderr);
    }
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(out.trimmed(), expected);
}

int main(int argc, char **argv) {
    if (const auto rc = child_console(argc, argv)) return *rc;
    QApplication app(argc, argv);
    TestHalfDuplex t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_half_duplex.moc"
