#pragma once

#include "netserialport.h"
#include "portmap.h"
#include "qtserialport.h"

// The serial component the programs use: the port box's text picks a device
// (QtSerialPort: "COMn" through the mappings, or a path) or a network serial
// server (NetSerialPort). Errors name the port as the text gave it.
class SwitchingPort : public SerialPort {
    Q_OBJECT
public:
    explicit SwitchingPort(PortMap map, QObject *parent = nullptr);

    void setPortText(const QString &text) override;
    bool keepsOpenFor(const QString &text) const override;
    // For the command line: waits until a network port holds its settings
    // (true at once for a device); false if it failed meanwhile.
    bool waitReady();

    bool portOpen() const override { return active().portOpen(); }
    bool setPortOpen(bool open) override;
    int portNumber() const override { return serial_.portNumber(); }
    void setPortNumber(int n) override { setPortText(QStringLiteral("COM%1").arg(n)); }
    bool setSettings(const QString &settings) override { return active().setSettings(settings); }
    void discardOutput() override { active().discardOutput(); }
    void discardInput() override { active().discardInput(); }
    void setInputLength(int n) override { active().setInputLength(n); }
    void setSThreshold(int n) override { active().setSThreshold(n); }
    void setRThreshold(int n) override { active().setRThreshold(n); }
    void setInputMode(int mode) override { active().setInputMode(mode); }
    void setRts(bool on) override { active().setRts(on); }
    void setDtr(bool on) override { active().setDtr(on); }
    void setRelease(std::optional<LineLevel> level) override { active().setRelease(level); }
    bool setRs485(bool on) override { return active().setRs485(on); }
    PortError lastError() const override;

    QtSerialPort &serial() { return serial_; }
    NetSerialPort &network() { return net_; }

protected:
    void writeData(const QByteArray &bytes) override { active().output(bytes); }
    QByteArray readData() override { return active().input(); }

private:
    SerialPort &active() { return net_active_ ? static_cast<SerialPort &>(net_) : serial_; }
    const SerialPort &active() const {
        return net_active_ ? static_cast<const SerialPort &>(net_) : serial_;
    }
    PortError named(PortError e) const;

    PortMap map_;
    QtSerialPort serial_;
    NetSerialPort net_;
    bool net_active_ = false;
    std::optional<PortText::Problem> bad_; // the last port text was an unusable address
    QString name_ = QStringLiteral("COM1");
};
