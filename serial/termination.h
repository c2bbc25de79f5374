#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM and SIGINT as a Qt signal on the GUI thread, so that the program
// ends as its EXIT does and the port is released (QSerialPort's lock file
// goes with it). One per program.
class TerminationRequests : public QObject {
    Q_OBJECT
public:
    explicit TerminationRequests(QObject *parent = nullptr);
    ~TerminationRequests() override;

    // The signal that asked for the end, 0 if none did.
    int received() const { return received_; }

signals:
    void requested(int signal);

private:
    void onNotified();

    QSocketNotifier *notifier_ = nullptr;
    int received_ = 0;
};
