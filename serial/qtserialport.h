#pragma once

#include "device.h"
#include "portmap.h"
#include "releaseline.h"
#include "serialport.h"
#include "settings.h"

#include <QSerialPort>
#include <QSet>
#include <memory>

// The serial component over a real device (a serial port, a USB adapter or a
// pseudo-terminal).
class QtSerialPort : public SerialPort {
    Q_OBJECT
public:
    explicit QtSerialPort(PortMap map, QObject *parent = nullptr);
    // With other answers from the system, for tests.
    QtSerialPort(PortMap map, std::unique_ptr<DeviceAnswers> answers, QObject *parent = nullptr);
    ~QtSerialPort() override;

    bool portOpen() const override;
    bool setPortOpen(bool open) override;
    int portNumber() const override { return number_; }
    void setPortNumber(int n) override { setPortText(QStringLiteral("COM%1").arg(n)); }
    // "COMn" through the mappings, or a device path as it is.
    void setPortText(const QString &text) override;
    bool setSettings(const QString &settings) override;
    void discardOutput() override;
    void discardInput() override;
    // The send event comes once everything has left, whatever the threshold.

protected:
    void writeData(const QByteArray &bytes) override;
    QByteArray readData() override;
    std::optional<LineLevel> directionLevel() const override;

public:
    void setRts(bool on) override;
    void setDtr(bool on) override;
    void setRelease(std::optional<LineLevel> level) override { release_ = level; }
    bool setRs485(bool on) override;
    PortError lastError() const override { return error_; }
    bool lowLatency() const override { return lowLatency_; }
    bool wire() const override;

    QString device() const { return path_.isEmpty() ? map_.device(number_) : path_; }

private:
    // Closed; Open; Calling: inside one of our own calls on the device, whose
    // errors that call handles; Broken: the device failed, the close is queued.
    enum class State { Closed, Open, Calling, Broken };
    class Calling;

    // Applies settings_; with `check`, fails unless the device holds them.
    bool applySettings(bool check);
    void close();
    void listenAtOpening();
    void released(const ReleaseLine::Outcome &o);
    void driveLine(LineLevel level);
    void lineRefused(LineLevel::Line line, const QString &reason);
    // Says that a release may come late, where no real-time priority was had.
    void tellNoRealtime();
    void onError(QSerialPort::SerialPortError e);
    void breakDown();
    bool fail(PortError::Kind kind, const QString &reason);

    PortMap map_;
    std::unique_ptr<DeviceAnswers> answers_;
    QSerialPort port_;
    // Writes and releases; after port_: gone before the descriptor closes.
    ReleaseLine releaser_;
    std::optional<LineLevel> release_;
    // RTS and DTR as last set on this opening; unknown until set.
    std::optional<bool> driven_[2];
    int number_ = 1;
    QString path_;                          // a device path given as the port's text
    QString name_ = QStringLiteral("COM1"); // the port as the user gave it
    LineSettings settings_;
    bool checkAtOpening_ = false; // settings_ were given while closed
    PortError error_;
    State state_ = State::Closed;
    quint64 opening_ = 0;          // counts successful openings
    QSet<QString> lineFaultsTold_; // devices whose missing modem line was reported
    QSet<QString> rs485Ours_;      // devices whose RS-485 mode we turned on
    QSet<QString> rs485Told_;      // devices whose own RS-485 mode was reported
    bool lowLatency_ = false;      // the open device holds ASYNC_LOW_LATENCY
    bool lowLatencyOurs_ = false;  // set by us: put back at the close
};
