#pragma once

#include <QProcess>
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
