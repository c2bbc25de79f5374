#pragma once

#include "portmap.h"
#include "serialport.h"
#include "settings.h"

#include <QSerialPort>
#include <QStringList>
#include <QTimer>

// The serial component over a real device (a serial port, a USB adapter or a
// pseudo-terminal).
class QtSerialPort : public SerialPort {
    Q_OBJECT
public:
    explicit QtSerialPort(PortMap map, QObject *parent = nullptr);

    bool portOpen() const override;
    bool setPortOpen(bool open) override;
    int portNumber() const override { return number_; }
    void setPortNumber(int n) override { number_ = n; }
    bool setSettings(const QString &settings) override;
    void discardOutput() override;
    void discardInput() override;
    void setInputLength(int) override {} // input() always returns everything waiting
    void setSThreshold(int n) override { sthreshold_ = n; }
    void setRThreshold(int) override {} // every arrival is reported
    void setInputMode(int) override {}  // bytes are always passed through as they are
    void output(const QByteArray &bytes) override;
    QByteArray input() override;
    void setRts(bool on) override;
    void setDtr(bool on) override;
    PortError lastError() const override { return error_; }

    QString device() const { return map_.device(number_); }
    // The parts of the settings that the open device did not take at the last
    // opening or change (a pseudo-terminal holds no parity); empty if all took.
    const QStringList &unheldSettings() const { return unheld_; }
    // Missing modem lines are warned about once per opening; a caller that
    // reopens the port for every exchange may want one warning in all.
    void setLineWarningOnce(bool once) { lineWarningOnce_ = once; }

private:
    void pollDrain();
    void onError(QSerialPort::SerialPortError e);
    void breakDown();
    QString breakdownReason() const;
    bool fail(PortError::Kind kind, const QString &reason);
    void lineFailed(const char *line);
    qint64 kernelQueued() const;

    PortMap map_;
    QSerialPort port_;
    QTimer drain_;
    int number_ = 1;
    int sthreshold_ = 5;
    LineSettings settings_;
    PortError error_;
    QStringList unheld_;
    bool lineWarned_ = false; // missing modem lines reported for this opening
    bool lineWarningOnce_ = false;
    bool broken_ = false;
    bool ignoreErrors_ = false;
    quint64 opening_ = 0; // counts successful openings
};
