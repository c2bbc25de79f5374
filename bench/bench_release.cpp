// How soon after the last bit the direction line goes back to receiving: the
// real window and serial component run default TESTs ("RTS=0", 8N2) against
// kestrova-sim, in a child with the line shim preloaded, which times the
// write and the release on the system calls themselves. Prints, per rate, the
// time from the write to the release minus the wire time of the 11 characters
// (min, median, 90th percentile, max), on an idle machine and under load: two
// busy processes, and text arriving at the receive window all the while;
// and how the release thread was scheduled. As an ordinary user, with and
// without rtkit: scripts/unprivileged.sh [--rtkit] -- bench_release.
//
// Then the same TESTs end to end on the simulator's half-duplex bus with
// --delay 3, idle and under load: how many of them give "OK SUM=".
//
//   bench_release [--count N] [--sim PATH]
#include "childconsole.h"
#include "ptyutil.h"
#include "releaselog.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

// Write all of it, or give up on a full line.
void put(int fd, const char *p, ssize_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, size_t(n));
        if (w <= 0) return;
        p += w;
        n -= w;
    }
}

struct Figures {
    std::vector<double> ms; // release minus wire end, per TEST
    int early = 0;
    int ok = 0;         // TESTs that ended in "OK SUM="
    QString scheduling; // the release thread's
};

// One run: the console and the simulator each on a pseudo-terminal of our
// own, relayed, so that text can be added on its way to the console. Where the
// bus is half-duplex, the shim's reports tell the simulator what went on the wire.
Figures run(const QString &sim, int rate, bool load, int count, bool halfDuplex) {
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("lines.log"));
    const QString socket = dir.filePath(QStringLiteral("bus"));
    const QString settings = QStringLiteral("%1,n,8,2").arg(rate);
    Pty consoleLine;
    Pty simLine;
    if (!consoleLine.ok() || !simLine.ok()) return {};
    const int master = consoleLine.master();
    const int toSim = simLine.master();
    QStringList simArgs{QStringLiteral("--device"), simLine.slavePath(),
                        QStringLiteral("--settings"), settings};
    if (halfDuplex)
        simArgs << QStringLiteral("--half-duplex") << QStringLiteral("--delay")
                << QStringLiteral("3") << QStringLiteral("--report-socket") << socket;
    QProcess simulator;
    simulator.setStandardErrorFile(QProcess::nullDevice());
    simulator.start(sim, simArgs);
    if (!simulator.waitForStarted(5000) || !simulator.waitForReadyRead(5000)) return {};

    bench::BusyProcesses busy(load ? 2 : 0);

    // The console: `count` default TESTs, each to its verdict or time-out and its release.
    QProcess console;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KC_LINE_LOG"), logPath);
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(KC_LINE_SHIM));
    if (halfDuplex) env.insert(QStringLiteral("KC_BUS_SOCKET"), socket);
    console.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    start_child_console(console,
                        {.device = consoleLine.slavePath(),
                         .boxes = {"Combo2=" + settings},
                         .count = count,
                         .verdicts = true,
                         .show = true,
                         .strict = true,
                         .tellRelease = true},
                        env);
    console.waitForStarted(5000);

    // Relay both ways; under load, a line of text every 20 ms as well (about
    // what 9600 baud carries), but not into a reply: a bus carries one at a time.
    qint64 nextText = 0;
    qint64 replyUntil = 0; // a reply may be on its way until then
    int lineNo = 0;
    QElapsedTimer clock;
    clock.start();
    while (console.state() != QProcess::NotRunning) {
        pollfd p[2] = {{master, POLLIN, 0}, {toSim, POLLIN, 0}};
        ::poll(p, 2, 5);
        char buf[4096];
        ssize_t n = 0;
        if ((p[0].revents & POLLIN) && (n = ::read(master, buf, sizeof buf)) > 0) {
            put(toSim, buf, n);
            replyUntil = clock.elapsed() + 250;
        }
        if ((p[1].revents & POLLIN) && (n = ::read(toSim, buf, sizeof buf)) > 0) {
            put(master, buf, n);
            if (std::memchr(buf, 0x17, size_t(n))) replyUntil = 0; // ETB ends it
        }
        if (load && clock.elapsed() >= nextText && clock.elapsed() >= replyUntil) {
            nextText = clock.elapsed() + 20;
            const QByteArray text =
                QByteArray("load text line ") + QByteArray::number(++lineNo) + "\r\n";
            put(master, text.constData(), text.size());
        }
        console.waitForFinished(0);
    }
    busy.stop();
    simulator.terminate();
    simulator.waitForFinished(3000);
    if (console.exitCode() != 0) std::fprintf(stderr, "bench_release: the console failed\n");
    Figures f;
    f.ms = bench::releases_after_last_bit(logPath, 11, 11.0 * 1000 / rate);
    f.early = int(std::count_if(f.ms.begin(), f.ms.end(), [](double ms) { return ms < 0; }));
    for (const QByteArray &line : console.readAllStandardOutput().split('\n')) {
        if (line.startsWith("ok ")) f.ok = line.mid(3).toInt();
        if (line.startsWith("release ")) f.scheduling = QString::fromLatin1(line.mid(8));
    }
    return f;
}

} // namespace

int main(int argc, char **argv) {
    bench::spin_if_asked();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (const auto rc = child_console(argc, argv)) return *rc;
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption countOpt(QStringLiteral("count"), QStringLiteral("TESTs per run"),
                                      QStringLiteral("N"), QStringLiteral("100"));
    const QCommandLineOption simOpt(QStringLiteral("sim"), QStringLiteral("kestrova-sim to run"),
                                    QStringLiteral("PATH"), QStringLiteral(KC_SIM_PATH));
    parser.addOptions({countOpt, simOpt});
    parser.process(app);
    const int count = parser.value(countOpt).toInt();

    std::printf("bench_release: write to release, minus the wire time of the default frame "
                "(11 characters, RTS=0, 8N2), %d TESTs per run\n",
                count);
    std::printf("%6s  %-5s %8s %8s %8s %8s %8s %7s %6s  %s\n", "rate", "load", "wire ms", "min",
                "median", "p90", "max", "early", "count", "release thread");
    bool good = true;
    for (const int rate : {9600, 1200})
        for (const bool load : {false, true}) {
            const Figures f = run(parser.value(simOpt), rate, load, count, false);
            if (f.ms.empty()) {
                std::printf("%6d  %-5s no releases timed\n", rate, load ? "load" : "idle");
                good = false;
                continue;
            }
            std::printf("%6d  %-5s %8.2f %8.2f %8.2f %8.2f %8.2f %7d %6zu  %s\n", rate,
                        load ? "load" : "idle", 11.0 * 11 * 1000 / rate, f.ms.front(),
                        bench::at(f.ms, 0.5), bench::at(f.ms, 0.9), f.ms.back(), f.early,
                        f.ms.size(), qPrintable(f.scheduling));
        }
    std::printf("(ms after the last bit; early: releases before it)\n");
    // The reply starts 3 ms after the last bit: a late release cuts it.
    for (const bool load : {false, true}) {
        const Figures f = run(parser.value(simOpt), 9600, load, count, true);
        std::printf("half-duplex bus, --delay 3, 9600 8N2, %s: %d of %d TESTs \"OK SUM=\"; "
                    "release p90 %.2f ms, max %.2f ms after the last bit\n",
                    load ? "under load" : "idle", f.ok, count,
                    f.ms.empty() ? 0 : bench::at(f.ms, 0.9), f.ms.empty() ? 0 : f.ms.back());
        good = good && f.ok == count;
    }
    return good ? 0 : 1;
}
