// The half-duplex bus in the user's own terms: kestrova-sim with
// --half-duplex --delay 3 (its instruments answer 3 ms after the last bit,
// so a release later than that cuts the reply), with real-time priority
// itself; kestrova-probe polls it `--count` times under two busy processes,
// with the line shim preloaded to time its writes and releases. Prints how
// many polls gave OK, the release after the last bit (min, median, p99,
// max), each release late enough to cut the reply, and how the release
// thread was scheduled. Run as root, it polls as root and then as user
// nobody with rtkit (scripts/unprivileged.sh --rtkit), the simulator staying
// root; as anyone else, as that user.
//
// Last, the machine's own stalls under the same load, with none of our code:
// a SCHED_FIFO thread at the release thread's priority spins in 2 ms bursts
// and counts the gaps in its own clock. A gap longer than the slack before
// the reply (3 ms less the release margin) would make a late release
// whatever the program does.
//
//   bench_bus [--count N] [--runs R] [--idle]     (defaults 1000, 1)
#include "releaselog.h"

#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kFrameChars = 11;                // the default PV request
constexpr double kCharMs = 11.0 * 1000 / 9600; // 9600 8N2
constexpr double kReplyMs = 3.0;               // --delay 3

// The probe's release thread's policy and priority, read from /proc while it runs.
QString release_scheduling() {
    const QString probe = QFileInfo(QStringLiteral(KC_PROBE_PATH)).canonicalFilePath();
    for (const QFileInfo &proc : QDir(QStringLiteral("/proc")).entryInfoList(QDir::Dirs)) {
        bool isPid = false;
        proc.fileName().toInt(&isPid);
        if (!isPid ||
            QFileInfo(proc.filePath() + QStringLiteral("/exe")).canonicalFilePath() != probe)
            continue;
        const QDir tasks(proc.filePath() + QStringLiteral("/task"));
        for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
            if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "kc-release")
                continue;
            QFile stat(tasks.filePath(tid + QStringLiteral("/stat")));
            if (!stat.open(QIODevice::ReadOnly)) continue;
            const QByteArray s = stat.readAll();
            // After the name in parentheses: field 3 on; rt_priority is 40, policy 41.
            const QList<QByteArray> f = s.mid(s.lastIndexOf(')') + 2).split(' ');
            if (f.size() < 39) continue;
            const int priority = f[37].toInt(), policy = f[38].toInt();
            const char *name = policy == SCHED_FIFO ? "SCHED_FIFO"
                               : policy == SCHED_RR ? "SCHED_RR"
                                                    : "SCHED_OTHER";
            return policy == SCHED_OTHER ? QString::fromLatin1(name)
                                         : QStringLiteral("%1 %2").arg(name).arg(priority);
        }
    }
    return QStringLiteral("not seen");
}

struct Run {
    int ok = -1, sent = -1;
    std::vector<double> ms;                    // releases after the last bit, sorted
    std::vector<std::pair<double, qint64>> at; // each with its time
    QString scheduling, simScheduling, said;
};

Run poll(int count, bool load, bool asNobody) {
    Run r;
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 01777); // nobody writes the log
    const QString socket = dir.filePath(QStringLiteral("bus"));
    const QString log = dir.filePath(QStringLiteral("lines.log"));
    QProcess sim;
    sim.setStandardErrorFile(dir.filePath(QStringLiteral("sim.err")));
    sim.start(QStringLiteral(KC_SIM_PATH),
              {QStringLiteral("--half-duplex"), QStringLiteral("--delay"), QStringLiteral("3"),
               QStringLiteral("--report-socket"), socket});
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) return r;
    const QByteArray device = sim.readLine().trimmed();
    // It reads its side at once: its instruments' timing is not ours to blame.
    const sched_param sp{20};
    r.simScheduling = ::sched_setscheduler(pid_t(sim.processId()), SCHED_FIFO, &sp) == 0
                          ? QStringLiteral("SCHED_FIFO 20")
                          : QStringLiteral("SCHED_OTHER (%1)").arg(strerror(errno));
    if (asNobody) {
        ::chmod(device.constData(), 0666);
        ::chmod(QFile::encodeName(socket).constData(), 0666);
    }
    bench::BusyProcesses busy(load ? 2 : 0);

    QStringList args{QStringLiteral("env"),
                     QStringLiteral("LD_PRELOAD=" KC_LINE_SHIM),
                     QStringLiteral("KC_LINE_LOG=") + log,
                     QStringLiteral("KC_BUS_SOCKET=") + socket,
                     QStringLiteral(KC_PROBE_PATH),
                     QStringLiteral("--count"),
                     QString::number(count),
                     QStringLiteral("--json"),
                     QString::fromLocal8Bit(device)};
    QString program = args.takeFirst();
    if (asNobody) {
        args.prepend(program);
        args = QStringList{QStringLiteral("--rtkit"), QStringLiteral("--")} + args;
        program = QStringLiteral(KC_SOURCE_DIR "/scripts/unprivileged.sh");
    }
    QProcess probe;
    probe.start(program, args);
    probe.waitForStarted(5000);
    // Looked at all along: rtkit's grant comes a moment after the thread starts.
    const QDeadlineTimer limit(count * 500 + 60000);
    while (probe.state() != QProcess::NotRunning && !probe.waitForFinished(200) &&
           !limit.hasExpired())
        if (const QString s = release_scheduling(); s != QStringLiteral("not seen"))
            r.scheduling = s;
    busy.stop();
    sim.terminate();
    sim.waitForFinished(3000);
    if (probe.exitCode() == 77)
        r.said = QStringLiteral("skipped: ") + probe.readAllStandardError();
    else
        r.said = QString::fromLocal8Bit(probe.readAllStandardError()).trimmed();
    const QByteArray out = probe.readAllStandardOutput().trimmed();
    const QJsonObject stats = QJsonDocument::fromJson(out.mid(out.lastIndexOf('\n') + 1))
                                  .object()["statistics"]
                                  .toObject();
    r.ok = stats["ok"].toInt(-1);
    r.sent = stats["sent"].toInt(-1);
    r.ms = bench::releases_after_last_bit(log, kFrameChars, kCharMs, &r.at);
    return r;
}

qint64 now_ns() {
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// The machine's stalls: gaps in a real-time thread's own clock while it spins.
void stalls(double seconds, bool load, double slackMs) {
    bench::BusyProcesses busy(load ? 2 : 0);
    const sched_param sp{10};
    const bool rt = ::sched_setscheduler(0, SCHED_FIFO, &sp) == 0;
    qint64 spun = 0, worst = 0;
    int over1 = 0, overSlack = 0;
    while (spun < qint64(seconds * 1e9)) {
        const qint64 start = now_ns();
        qint64 last = start;
        while (last - start < 2'000'000) {
            const qint64 t = now_ns(), gap = t - last;
            worst = std::max(worst, gap);
            over1 += gap > 1'000'000;
            overSlack += gap > qint64(slackMs * 1e6);
            last = t;
        }
        spun += last - start;
        const timespec pause{0, 2'000'000}; // room for the rest, and below the RT throttle
        ::nanosleep(&pause, nullptr);
    }
    const sched_param normal{0};
    ::sched_setscheduler(0, SCHED_OTHER, &normal);
    std::printf("the machine itself, %s, a %s thread spinning %.0f s in 2 ms bursts: longest gap "
                "%.3f ms; %d gaps over 1 ms, %d over %.2f ms\n",
                load ? "under two busy processes" : "idle", rt ? "SCHED_FIFO 10" : "SCHED_OTHER",
                double(spun) / 1e9, double(worst) / 1e6, over1, overSlack, slackMs);
}

} // namespace

int main(int argc, char **argv) {
    bench::spin_if_asked();
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption countOpt(QStringLiteral("count"), QStringLiteral("polls per run"),
                                      QStringLiteral("N"), QStringLiteral("1000"));
    const QCommandLineOption runsOpt(QStringLiteral("runs"), QStringLiteral("runs per user"),
                                     QStringLiteral("R"), QStringLiteral("1"));
    const QCommandLineOption idleOpt(QStringLiteral("idle"), QStringLiteral("no busy processes"));
    parser.addOptions({countOpt, runsOpt, idleOpt});
    parser.process(app);
    const int count = parser.value(countOpt).toInt();
    const int runs = parser.value(runsOpt).toInt();
    const bool load = !parser.isSet(idleOpt);
    // The release comes one character (at least 1 ms) after the last bit.
    const double slackMs = kReplyMs - std::clamp(kCharMs, 1.0, 2.0);

    std::printf("bench_bus: kestrova-probe --count %d on kestrova-sim --half-duplex --delay 3, "
                "9600 8N2, RTS=0, %s\n",
                count, load ? "under two busy processes" : "idle");
    int allOk = 0, allSent = 0;
    for (const bool asNobody : {false, true}) {
        if (asNobody && ::getuid() != 0) break;
        for (int i = 0; i < runs; ++i) {
            const Run r = poll(count, load, asNobody);
            const char *who = asNobody ? "nobody, rtkit" : ::getuid() == 0 ? "root" : "this user";
            if (r.said.startsWith(QStringLiteral("skipped"))) {
                std::printf("%s: %s\n", who, qPrintable(r.said));
                break;
            }
            if (r.ms.empty()) {
                std::printf("%s: no releases timed (%s)\n", who, qPrintable(r.said));
                allSent += count;
                continue;
            }
            allOk += std::max(r.ok, 0);
            allSent += r.sent > 0 ? r.sent : count;
            std::printf("%s: %d of %d OK; release after the last bit min %.3f, median %.3f, p99 "
                        "%.3f, max %.3f ms; release thread %s, simulator %s\n",
                        who, r.ok, r.sent, r.ms.front(), bench::at(r.ms, 0.5),
                        bench::at(r.ms, 0.99), r.ms.back(), qPrintable(r.scheduling),
                        qPrintable(r.simScheduling));
            for (const auto &[ms, ns] : r.at)
                if (ms > kReplyMs)
                    std::printf(
                        "  late: %.3f ms after the last bit (the reply starts at %.0f ms)\n", ms,
                        kReplyMs);
            if (!r.said.isEmpty()) std::printf("  said: %s\n", qPrintable(r.said));
            std::fflush(stdout);
        }
    }
    stalls(20, load, slackMs);
    std::printf("in all: %d of %d OK\n", allOk, allSent);
    return allOk == allSent ? 0 : 1;
}
