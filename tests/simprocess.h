#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// kestrova-sim (the path in KC_SIM) started for one test; stopped with SIGTERM
// when it goes. Its log is kept for log() only on request: unread, a long run
// would fill the pipe and stall the simulator.
class SimProcess {
public:
    enum Log { Discard, Keep };
    explicit SimProcess(const QStringList &args, Log log = Discard) {
        proc_.setProgram(qEnvironmentVariable("KC_SIM"));
        proc_.setArguments(args);
        if (log == Discard) proc_.setStandardErrorFile(QProcess::nullDevice());
        proc_.start();
        if (!proc_.waitForStarted(5000)) return;
        while (!proc_.canReadLine() && proc_.waitForReadyRead(5000)) {
        }
        device_ = QString::fromLocal8Bit(proc_.readLine()).trimmed();
    }
    ~SimProcess() { stop(); }
    void stop() {
        if (proc_.state() == QProcess::NotRunning) return;
        proc_.terminate();
        if (!proc_.waitForFinished(3000)) proc_.kill();
        proc_.waitForFinished(1000);
    }
    QString device() const { return device_; }
    // Everything the simulator has logged so far.
    QString log() {
        log_ += proc_.readAllStandardError();
        return QString::fromUtf8(log_);
    }

private:
    QProcess proc_;
    QString device_;
    QByteArray log_;
};

// The environment of a program run with the line shim preloaded (its path in
// KC_LINE_SHIM); with a socket, its line calls are reported there to the simulator.
#ifdef KC_LINE_SHIM
inline QProcessEnvironment line_shim_environment(const QString &socket = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(KC_LINE_SHIM));
    // The shim comes ahead of a sanitizer's runtime in a sanitizer build.
    env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) +
                                                   QStringLiteral(":verify_asan_link_order=0"));
    if (!socket.isEmpty()) env.insert(QStringLiteral("KC_BUS_SOCKET"), socket);
    return env;
}
#endif
