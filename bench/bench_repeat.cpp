// 连续测试 over a long run: resident memory (VmRSS) after 1,000, 5,000 and
// 10,000 TESTs. Real TESTs at the shortest interval would take 42 minutes, so
// the window is given the results as a TEST hands them over (record()), each
// a realistic exchange, a failure now and then, and the send and receive
// windows the text a TEST leaves there; the window shown and drawn on the
// offscreen platform after each. Then a short real run against
// kestrova-sim on the same window, whose counts go on.
//
//   bench_repeat [--count N] [--real N] [--no-text]   (defaults 10000 and 50)
#include "form1.h"
#include "ptyutil.h"
#include "qtserialport.h"
#include "repeatwindow.h"
#include "widgets.h"

#include <QApplication>
#include <QChartView>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QLineSeries>
#include <QProcess>
#include <QRandomGenerator>
#include <QScatterSeries>
#include <QSpinBox>
#include <QTextDocument>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>

namespace {

long rss_kb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// Freed memory back to the system first, so VmRSS shows what is held.
long held_kb() {
    ::malloc_trim(0);
    return rss_kb();
}

// What the heap hands out now: live allocations, apart from what the
// allocator keeps or the fragments between them.
long live_kb() {
    const struct mallinfo2 m = ::mallinfo2();
    return long((m.uordblks + m.hblkhd) / 1024);
}

// What the simulator's instrument 001 channel 01 answers, as the window
// records it: mostly OK, every 97th sum wrong, every 41st unanswered, every
// 499th a reply the sum check cannot judge; latency 7 to 10 ms, a rare peak.
Exchange result(int i, const Selection &sel) {
    Exchange e;
    e.time = QDateTime::currentDateTime();
    e.sel = sel;
    e.address = 1;
    e.channel = 1;
    e.function = QStringLiteral("pv");
    e.request = QByteArray::fromHex("1430311130303130310303");
    QRandomGenerator *g = QRandomGenerator::global();
    const double ms = 7.0 + g->bounded(3.0) + (i % 1000 == 500 ? 30.0 : 0.0);
    if (i % 41 == 40) {
        e.verdict = Verdict::Timeout;
        return e;
    }
    e.latencyMs = ms;
    if (i % 499 == 498) {
        e.verdict = Verdict::Malformed;
        e.reply = QByteArray::fromHex("1430310230303130313233172e");
        return e;
    }
    const bool bad = i % 97 == 96;
    e.verdict = bad ? Verdict::Err : Verdict::Ok;
    e.sum = bad ? "00561" : "00560";
    if (!bad) e.value = "23.4";
    e.reply = QByteArray("\x14"
                         "01\x02"
                         "0010123.4") +
              e.sum + "\x17";
    return e;
}

void counts_line(Form1 &w, const RepeatWindow &r) {
    const Tally &t = r.tally();
    std::printf("  sent %d, OK %d, ERR %d, timeouts %d, malformed %d; plot %lld + %lld points; "
                "send window %d lines, receive window %d\n",
                t.sent(), t.count(Verdict::Ok), t.count(Verdict::Err), t.count(Verdict::Timeout),
                t.count(Verdict::Malformed), qlonglong(r.latencies->count()),
                qlonglong(r.failures->count()), w.trs->document()->blockCount(),
                w.rec->document()->blockCount());
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption countOpt(QStringLiteral("count"), QStringLiteral("results fed"),
                                      QStringLiteral("N"), QStringLiteral("10000"));
    const QCommandLineOption realOpt(QStringLiteral("real"),
                                     QStringLiteral("real TESTs after them (0: none)"),
                                     QStringLiteral("N"), QStringLiteral("50"));
    const QCommandLineOption noTextOpt(
        QStringLiteral("no-text"),
        QStringLiteral("leave the send and receive windows out: the tool window alone"));
    parser.addOptions({countOpt, realOpt, noTextOpt});
    parser.process(app);
    const int count = parser.value(countOpt).toInt();
    const int real = parser.value(realOpt).toInt();
    const bool text = !parser.isSet(noTextOpt);

    QProcess sim;
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start(QStringLiteral(KC_SIM_PATH), {});
    if (!sim.waitForStarted(5000)) {
        std::fprintf(stderr, "bench_repeat: cannot start %s\n", KC_SIM_PATH);
        return 2;
    }
    while (!sim.canReadLine() && sim.waitForReadyRead(5000)) {
    }
    const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();
    if (device.isEmpty()) {
        std::fprintf(stderr, "bench_repeat: the simulator named no device\n");
        return 2;
    }
    // COM2 to COM16 on decoys: no fault can reach a real port.
    QtSerialPort port(decoy_map(1, device));
    Form1 w(&port);
    w.show();
    RepeatWindow *r = w.repeatWindow();
    r->show();
    QCoreApplication::processEvents();

    const long start = held_kb();
    std::printf("连续测试: %d results fed through RepeatWindow::record(), window shown "
                "(offscreen), drawn after each\n",
                count);
    const long liveStart = live_kb();
    std::printf("%8s %10s %10s %10s %10s\n", "TESTs", "VmRSS kB", "vs start", "heap kB",
                "vs start");
    std::printf("%8d %10ld %10s %10ld %10s\n", 0, start, "", liveStart, "");
    long at1000 = start;
    const Selection sel = w.selection();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        // What a TEST leaves in the send and receive windows, then its count.
        const Exchange e = result(i, sel);
        if (text) {
            w.trs->insert(e.request + "\r\n");
            if (!e.reply.isEmpty()) {
                w.rec->nextIsData();
                w.rec->insert(e.reply);
            }
            if (e.verdict == Verdict::Ok || e.verdict == Verdict::Err)
                w.rec->insert((e.verdict == Verdict::Ok ? "OK SUM=" : "ERR SUM=") + e.sum + "\r\n");
            else if (e.verdict == Verdict::Timeout)
                w.rec->insert("\r\n");
        }
        r->record(e);
        QCoreApplication::processEvents(); // the plot and the counts repaint
        const int n = i + 1;
        if (n == 1000 || n == 5000 || n == count || (n % 5000 == 0 && n > 5000)) {
            r->plot->grab(); // one full draw of the chart as it stands
            const long kb = held_kb();
            if (n == 1000) at1000 = kb;
            const long live = live_kb();
            std::printf("%8d %10ld %+10ld %10ld %+10ld\n", n, kb, kb - start, live,
                        live - liveStart);
            std::fflush(stdout);
        }
    }
    const long end = held_kb();
    std::printf("growth from 1,000 to %d: %+ld kB; %.2f ms per result (record and draw)\n", count,
                end - at1000, double(clock.elapsed()) / count);
    counts_line(w, *r);

    if (qEnvironmentVariableIsSet("KC_BENCH_EXIT_EARLY")) {
        // What is still held shows as unfreed to a heap profiler.
        std::fflush(stdout);
        std::_Exit(0);
    }
    if (real > 0) {
        r->interval->setValue(Transaction::kTimeoutMs);
        r->count->setValue(real);
        const int before = r->tally().sent();
        r->start();
        while (r->running())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        std::printf("then %d real TESTs against kestrova-sim at %d ms: VmRSS %ld kB (%+ld kB)\n",
                    r->tally().sent() - before, Transaction::kTimeoutMs, held_kb(),
                    held_kb() - end);
        counts_line(w, *r);
        if (!w.lastMessage().isEmpty()) std::printf("  message: %s\n", qPrintable(w.lastMessage()));
    }
    sim.terminate();
    sim.waitForFinished(3000);
    return 0;
}
