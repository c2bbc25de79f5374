// kestrova-probe against kestrova-sim on a pseudo-terminal, side by side with
// the port kept open for the run (the probe's way) and reopened at every
// exchange (--reopen, the console's TEST):
//  1. polls of --count N at simulator delays 0 and 5 ms: the median latency of
//     an exchange beyond the simulator's own delay, and the wall time per
//     exchange of the whole run (what a poll really costs, gaps included);
//  2. a --scan --timeout 20 of addresses 1 to 999: its wall time and the
//     addresses found (the simulator has 001 to 003);
//  3. --find-settings where nobody answers: its wall time against the sum over
//     the 28 settings of the request's wire time and --timeout.
//
//   probe_bench [--count N]
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace {

// kestrova-sim on a fresh pseudo-terminal for the life of the object.
class Sim {
public:
    explicit Sim(const QStringList &args) {
        proc_.setProcessChannelMode(QProcess::SeparateChannels);
        proc_.setStandardErrorFile(QProcess::nullDevice());
        proc_.start(QStringLiteral(KC_SIM_PATH), args);
        proc_.waitForStarted(5000);
        while (!proc_.canReadLine() && proc_.waitForReadyRead(5000)) {
        }
        device_ = QString::fromLocal8Bit(proc_.readLine()).trimmed();
    }
    ~Sim() {
        proc_.terminate();
        if (!proc_.waitForFinished(3000)) proc_.kill();
    }
    QString device() const { return device_; }

private:
    QProcess proc_;
    QString device_;
};

struct Run {
    double wallMs = 0;
    double cpuMs = 0; // the probe's own user + system time
    std::vector<double> latencies;
    QList<int> answered; // addresses
    int exchanges = 0;   // sent, as the statistics count them
    int exitCode = -1;
};

double children_cpu_ms() {
    rusage u{};
    ::getrusage(RUSAGE_CHILDREN, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

Run probe(const QStringList &args) {
    Run r;
    QProcess p;
    p.setStandardErrorFile(QProcess::nullDevice());
    const double cpu0 = children_cpu_ms();
    QElapsedTimer clock;
    clock.start();
    p.start(QStringLiteral(KC_PROBE_PATH), args + QStringList{QStringLiteral("--json")});
    p.waitForFinished(-1);
    r.wallMs = clock.nsecsElapsed() / 1e6;
    r.cpuMs = children_cpu_ms() - cpu0;
    r.exitCode = p.exitCode();
    for (const QByteArray &line : p.readAllStandardOutput().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.contains(QStringLiteral("statistics")))
            r.exchanges = o.value(QStringLiteral("statistics"))
                              .toObject()
                              .value(QStringLiteral("sent"))
                              .toInt();
        if (!o.contains(QStringLiteral("verdict"))) continue;
        if (o.value(QStringLiteral("verdict")).toString() == QLatin1String("timeout")) continue;
        r.latencies.push_back(o.value(QStringLiteral("latency_ms")).toDouble());
        r.answered << o.value(QStringLiteral("address")).toInt();
    }
    std::sort(r.latencies.begin(), r.latencies.end());
    return r;
}

double median(const std::vector<double> &sorted) {
    if (sorted.empty()) return 0;
    const std::size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("exchanges per poll (default 1000)"),
                                   QStringLiteral("N"), QStringLiteral("1000"));
    parser.addOption(count);
    parser.process(app);
    const QString n = parser.value(count);

    const QList<std::pair<const char *, QStringList>> modes{
        {"kept", {}}, {"reopen", {QStringLiteral("--reopen")}}};
    std::printf("poll: %s exchanges of the default read (LNKCTRL, 001/01)\n", qPrintable(n));
    std::printf("%-7s %-10s %14s %14s %16s %12s\n", "port", "sim delay", "median", "beyond delay",
                "wall/exchange", "cpu/exch.");
    for (int delay : {0, 5}) {
        Sim sim({QStringLiteral("--delay"), QString::number(delay)});
        for (const auto &[name, extra] : modes) {
            const Run r = probe(QStringList{sim.device(), QStringLiteral("--count"), n} + extra);
            const double med = median(r.latencies);
            std::printf("%-7s %7d ms %11.3f ms %11.3f ms %13.3f ms %9.3f ms   (%zu of %d "
                        "answered)\n",
                        name, delay, med, med - delay, r.wallMs / qMax(1, r.exchanges),
                        r.cpuMs / qMax(1, r.exchanges), r.latencies.size(), r.exchanges);
        }
    }

    bool allFound = true;
    Sim sim({});
    for (const auto &[name, extra] : modes) {
        const Run scan = probe(QStringList{sim.device(), QStringLiteral("--scan"),
                                           QStringLiteral("--timeout"), QStringLiteral("20")} +
                               extra);
        QStringList found;
        for (int a : scan.answered)
            found << QString::number(a);
        allFound = allFound && found == QStringList{"1", "2", "3"};
        std::printf("scan --timeout 20, port %s: %d addresses in %.2f s (%.2f ms each, cpu %.3f "
                    "ms each), found %s, exit %d\n",
                    name, scan.exchanges, scan.wallMs / 1e3, scan.wallMs / qMax(1, scan.exchanges),
                    scan.cpuMs / qMax(1, scan.exchanges), qPrintable(found.join(QLatin1Char(' '))),
                    scan.exitCode);
    }

    // The request of the default read is 11 characters.
    double goalMs = 0;
    for (int rate : {9600, 19200, 4800, 38400, 2400, 56000, 1200})
        for (int bits : {11, 10, 11, 11})
            goalMs += std::ceil(11.0 * bits * 1000 / rate) + 30;
    const Run find =
        probe({sim.device(), QStringLiteral("--find-settings"), QStringLiteral("--address"),
               QStringLiteral("9"), QStringLiteral("--timeout"), QStringLiteral("30")});
    std::printf("find-settings --timeout 30, nobody answering: %.2f s for 28 settings, "
                "%.1f %% over their wire times and time-outs (%.2f s), exit %d\n",
                find.wallMs / 1e3, 100 * (find.wallMs / goalMs - 1), goalMs / 1e3, find.exitCode);
    return allFound && find.exitCode == 1 ? 0 : 1;
}
