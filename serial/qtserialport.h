#pragma once

#include "device.h"
#include "drain.h"
#include "portmap.h"
#include "serialport.h"
#include "settings.h"

#include <QSerialPort>
#include <QSet>
#include <QTimer>
#include <memory>

// The serial component over a real device (a serial port, a USB adapter or a
// pseudo-terminal).
class QtSerialPort : public SerialPort {
    Q_OBJECT
public:
    explicit QtSerialPort(PortMap map, QObject *parent = nullptr);
    // With other answers from the system, for tests.
    QtSerialPort(PortMap map, std::unique_ptr<DeviceAnswers> answers, QObject *parent = nullptr);

    bool portOpen() const override;
    bool setPortOpen(bool open) override;
    int portNumber() const override { return number_; }
    void setPortNumber(int n) override { setPortText(QStringLiteral("COM%1").arg(n)); }
    // "COMn" through the mappings, or a device path as it is.
    void setPortText(const QString &text) override;
    bool setSettings(const QString &settings) override;
    void discardOutput() override;
    void discardInput() override;
    void setInputLength(int) override {} // input() always returns everything waiting
    // The send event comes once everything has left, whatever the threshold.
    void setSThreshold(int) override {}
    void setRThreshold(int) override {} // every arrival is reported
    void setInputMode(int) override {}  // bytes are always passed through as they are
    void output(const QByteArray &bytes) override;
    QByteArray input() override;
    void setRts(bool on) override;
    void setDtr(bool on) override;
    PortError lastError() const override { return error_; }

    QString device() const { return path_.isEmpty() ? map_.device(number_) : path_; }

private:
    // Closed; Open; Calling: inside one of our own calls on the device, whose
    // errors that call handles; Broken: the device failed, the close is queued.
    enum class State { Closed, Open, Calling, Broken };
    class Calling;

    // Applies settings_; with `check`, fails unless the device holds them.
    bool applySettings(bool check);
    void close();
    void lookAtDrain();
    void armDrain(qint64 ns);
    void driveLine(const char *line, bool (QSerialPort::*set)(bool), bool on);
    void onError(QSerialPort::SerialPortError e);
    void breakDown();
    bool fail(PortError::Kind kind, const QString &reason);

    PortMap map_;
    std::unique_ptr<DeviceAnswers> answers_;
    QSerialPort port_;
    SendDrain drain_;
    QTimer drainTimer_;
    bool releaseDue_ = false; // a write waits for its send event
    qint64 unreported_ = 0;   // handed to Qt, not yet reported written to the system
    int number_ = 1;
    QString path_;                          // a device path given as the port's text
    QString name_ = QStringLiteral("COM1"); // the port as the user gave it
    LineSettings settings_;
    bool checkAtOpening_ = false; // settings_ were given while closed
    PortError error_;
    State state_ = State::Closed;
    quint64 opening_ = 0;          // counts successful openings
    QSet<QString> lineFaultsTold_; // devices whose missing modem line was reported
};
