#pragma once

#include "serialport.h"

#include <QQueue>
#include <QStringList>

// A serial component that records every operation, in order, for tests.
// Entries: "close", "open", "port N", "settings TEXT", "discard out",
// "discard in", "rts 0|1", "dtr 0|1", "output HEX" (bytes as spaced hex),
// "rs485 0|1" (when the mode changes). Code 1 sets the release level it was handed, as a port does.
class FakeSerialPort : public SerialPort {
    Q_OBJECT
public:
    using SerialPort::SerialPort;

    bool portOpen() const override { return open_; }
    bool setPortOpen(bool open) override;
    int portNumber() const override { return number_; }
    void setPortNumber(int n) override;
    void setPortText(const QString &text) override;
    bool setSettings(const QString &settings) override;
    void discardOutput() override;
    void discardInput() override;

protected:
    void writeData(const QByteArray &bytes) override;
    QByteArray readData() override;
    std::optional<LineLevel> directionLevel() const override {
        if (!release_) return std::nullopt;
        return LineLevel{release_->line, release_->line == LineLevel::Rts ? rts : dtr};
    }

public:
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

    // Unread input waiting, without an event.
    void queueInput(const QByteArray &bytes) { pending_ += bytes; }
    QByteArray unread() const { return pending_; }

    QStringList log;
    QList<QByteArray> writes; // each output, as written
    bool rts = false;
    bool dtr = false;
    bool rs485 = false;

    // The effects, for tests that check what happened rather than how: each
    // write that reached the line, with the state it went out in.
    struct LineWrite {
        QByteArray bytes;
        QString device;   // the device the port was opened on
        QString settings; // the settings in effect
        bool rts = false;
        bool dtr = false;
        bool operator==(const LineWrite &) const = default;
    };
    QList<LineWrite> line;
    QString openedOn;         // empty while closed
    QString settingsInEffect; // the last settings taken
    int opens = 0;
    QByteArray unsent; // written, not yet sent: dropped by discardOutput()

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
