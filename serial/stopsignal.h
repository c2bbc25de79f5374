#pragma once

#include <QObject>

class QSocketNotifier;

// SIGINT and SIGTERM delivered as a Qt signal on the GUI thread, so that a
// program can finish its work and release the port instead of dying mid-write.
// The handler only writes one byte into a socket pair; the rest happens in the
// event loop. One instance at a time; the default actions return when it goes.
class StopSignal : public QObject {
    Q_OBJECT
public:
    explicit StopSignal(QObject *parent = nullptr);
    ~StopSignal() override;

    // False if the socket pair could not be made; no handler is installed then.
    bool ok() const { return notifier_ != nullptr; }

signals:
    void stop(int signalNumber);

private:
    void readPending();

    QSocketNotifier *notifier_ = nullptr;
};
