#pragma once

#include "serialport.h"

// Stands in front of the serial component and reports every byte that goes
// out and every batch that comes in, leaving the traffic itself untouched.
class LoggingPort : public SerialPort {
    Q_OBJECT
public:
    explicit LoggingPort(SerialPort *inner, QObject *parent = nullptr);

    bool portOpen() const override { return inner_->portOpen(); }
    bool setPortOpen(bool open) override { return inner_->setPortOpen(open); }
    int portNumber() const override { return inner_->portNumber(); }
    void setPortNumber(int n) override { inner_->setPortNumber(n); }
    bool setSettings(const QString &settings) override { return inner_->setSettings(settings); }
    void discardOutput() override { inner_->discardOutput(); }
    void discardInput() override { inner_->discardInput(); }
    void setInputLength(int n) override { inner_->setInputLength(n); }
    void setSThreshold(int n) override { inner_->setSThreshold(n); }
    void setRThreshold(int n) override { inner_->setRThreshold(n); }
    void setInputMode(int mode) override { inner_->setInputMode(mode); }
    void output(const QByteArray &bytes) override;
    QByteArray input() override;
    void setRts(bool on) override { inner_->setRts(on); }
    void setDtr(bool on) override { inner_->setDtr(on); }
    void setRelease(std::optional<LineLevel> level) override { inner_->setRelease(level); }
    bool setRs485(bool on) override { return inner_->setRs485(on); }
    PortError lastError() const override { return inner_->lastError(); }

signals:
    void sent(const QByteArray &bytes);
    void received(const QByteArray &batch); // never empty

private:
    SerialPort *inner_;
};
