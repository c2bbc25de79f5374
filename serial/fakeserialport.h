#pragma once

#include "serialport.h"

#include <QQueue>
#include <QStringList>

// A serial component that records every operation, in order, for tests.
// Entries: "close", "open", "port N", "settings TEXT", "discard out",
// "discard in", "inlen N", "sthreshold N", "rthreshold N", "inputmode N",
// "rts 0|1", "dtr 0|1", "output HEX" (bytes as spaced hex), "rs485 0|1" (when
// the mode changes). Code 1 sets the release level it was handed, as a port does.
class FakeSerialPort : public SerialPort {
    Q_OBJECT
public:
    using SerialPort::SerialPort;

    bool portOpen() const override { return open_; }
    bool setPortOpen(bool open) override;
    int portNumber() const override { return number_; }
    void setPortNumber(int n) override;
    bool setSettings(const QString &settings) override;
    void discardOutput() override { log << QStringLiteral("discard out"); }
    void discardInput() override;
    void setInputLength(int n) override { log << QStringLiteral("inlen %1").arg(n); }
    void setSThreshold(int n) override { log << QStringLiteral("sthreshold %1").arg(n); }
    void setRThreshold(int n) override { log << QStringLiteral("rthreshold %1").arg(n); }
    void setInputMode(int m) override { log << QStringLiteral("inputmode %1").arg(m); }
    void output(const QByteArray &bytes) override;
    QByteArray input() override;
    void setRts(bool on) override;
    void setDtr(bool on) override;
    void setRelease(std::optional<LineLevel> level) override { release_ = level; }
    bool setRs485(bool on) override;
    PortError lastError() const override { return error_; }

    // Test controls.
    void deliver(int code);
    void receive(const QByteArray &batch); // queue a batch and deliver code 2
    void failNextOpen(PortError::Kind kind, const QString &reason);
    void breakDown(const QString &reason); // the device went away

    QStringList log;
    QList<QByteArray> writes; // each output, as written
    bool rts = false;
    bool dtr = false;
    bool rs485 = false;

private:
    QString fakePath() const { return QStringLiteral("/dev/fake%1").arg(number_); }

    bool open_ = false;
    int number_ = 1;
    QByteArray pending_;
    std::optional<LineLevel> release_;
    PortError error_;
    PortError::Kind failKind_ = PortError::None;
    QString failReason_;
};
