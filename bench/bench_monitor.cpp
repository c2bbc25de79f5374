// The monitor under a flood of garbage at 115200 (random bytes, control
// characters and frame starts among them, paced at the line rate on a
// pseudo-terminal): its resident memory (VmRSS) and peak (VmHWM) every few
// seconds. Flat figures mean bounded buffers.
//
//   bench_monitor [--seconds N]   (default 10; 60 for the figure in docs)
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

namespace {

long status_kb(qint64 pid, const char *key) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').first().toLong();
    return -1;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("seconds"), QStringLiteral("length of the flood"),
                      QStringLiteral("N"), QStringLiteral("10")});
    parser.process(app);
    const int seconds = qMax(1, parser.value(QStringLiteral("seconds")).toInt());

    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    QProcess monitor;
    monitor.setStandardOutputFile(QStringLiteral("/dev/null"));
    monitor.setStandardErrorFile(QProcess::nullDevice());
    // Every COMn at a harmless device: the monitor is given a path anyway.
    QStringList args;
    for (int n = 1; n <= 16; ++n)
        args << QStringLiteral("--com") << QStringLiteral("%1=/dev/null").arg(n);
    args << QStringLiteral("--monitor") << QString::fromLocal8Bit(name)
         << QStringLiteral("--settings") << QStringLiteral("115200,n,8,1");
    monitor.start(QStringLiteral(KC_PROBE_PATH), args);
    if (!monitor.waitForStarted(5000)) return 1;
    QThread::msleep(300);

    // 115200 baud, 10 bits a character: 11520 bytes a second, sent every 10 ms.
    constexpr int kPerTick = 115;
    QElapsedTimer clock;
    clock.start();
    qint64 sent = 0;
    int next = 0;
    std::printf("monitor under a garbage flood at 115200 for %d s\n", seconds);
    std::printf("%6s %12s %10s %10s\n", "s", "bytes sent", "VmRSS kB", "VmHWM kB");
    while (clock.elapsed() < qint64(seconds) * 1000) {
        char buf[kPerTick];
        for (char &c : buf)
            c = char(QRandomGenerator::global()->bounded(256));
        const ssize_t n = ::write(master, buf, sizeof buf);
        if (n > 0) sent += n;
        char drain[4096];
        while (::read(master, drain, sizeof drain) > 0) {
        }
        if (clock.elapsed() >= next * 1000) {
            std::printf("%6d %12lld %10ld %10ld\n", next, static_cast<long long>(sent),
                        status_kb(monitor.processId(), "VmRSS:"),
                        status_kb(monitor.processId(), "VmHWM:"));
            std::fflush(stdout);
            next += seconds >= 30 ? 10 : 2;
        }
        QThread::msleep(10);
    }
    std::printf("%6lld %12lld %10ld %10ld\n", static_cast<long long>(clock.elapsed() / 1000),
                static_cast<long long>(sent), status_kb(monitor.processId(), "VmRSS:"),
                status_kb(monitor.processId(), "VmHWM:"));
    const bool alive = monitor.state() == QProcess::Running;
    monitor.terminate();
    monitor.waitForFinished(5000);
    std::printf("monitor %s through the flood\n", alive ? "kept running" : "ENDED");
    ::close(master);
    ::close(slave);
    return alive ? 0 : 1;
}
