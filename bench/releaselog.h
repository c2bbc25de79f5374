#pragma once

// What the release benches share: busy processes for load, and the line
// shim's log read as releases after the last bit.
#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <algorithm>
#include <memory>
#include <vector>

namespace bench {

// A bench started with KC_BENCH_SPIN set is one of its own busy processes.
inline void spin_if_asked() {
    if (!qEnvironmentVariableIsSet("KC_BENCH_SPIN")) return;
    volatile unsigned long n = 0;
    for (;;)
        n = n + 1UL;
}

// `n` busy processes (this program again), while it lives.
class BusyProcesses {
public:
    explicit BusyProcesses(int n) {
        for (int i = 0; i < n; ++i) {
            auto p = std::make_unique<QProcess>();
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("KC_BENCH_SPIN"), QStringLiteral("1"));
            p->setProcessEnvironment(env);
            p->start(QCoreApplication::applicationFilePath(), QStringList());
            busy_.push_back(std::move(p));
        }
    }
    ~BusyProcesses() { stop(); }
    void stop() {
        for (const auto &p : busy_) {
            p->kill();
            p->waitForFinished(1000);
        }
        busy_.clear();
    }

private:
    std::vector<std::unique_ptr<QProcess>> busy_;
};

inline double at(const std::vector<double> &sorted, double p) {
    return sorted[std::min(sorted.size() - 1, std::size_t(p * double(sorted.size() - 1) + 0.5))];
}

// Releases timed by the shim (KC_LINE_LOG): each write of `chars` characters
// paired with the next modem-line call on its descriptor, in ms after the
// last bit, sorted; the time of the call beside each, in `calls` if given.
inline std::vector<double>
releases_after_last_bit(const QString &path, int chars, double charMs,
                        std::vector<std::pair<double, qint64>> *calls = nullptr) {
    std::vector<double> ms;
    QFile log(path);
    if (!log.open(QIODevice::ReadOnly)) return ms;
    QMap<int, qint64> writes; // fd -> time of the frame's write
    const QByteArray count = QByteArray::number(chars);
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QList<QByteArray> w = line.split(' ');
        if (w.size() != 4) continue;
        const int fd = w[1].toInt();
        if (w[0] == "write" && w[2] == count) writes[fd] = w[3].toLongLong();
        if ((w[0] == "bis" || w[0] == "bic") && writes.contains(fd)) {
            const qint64 ns = w[3].toLongLong();
            ms.push_back(double(ns - writes.take(fd)) / 1e6 - chars * charMs);
            if (calls) calls->emplace_back(ms.back(), ns);
        }
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

} // namespace bench
