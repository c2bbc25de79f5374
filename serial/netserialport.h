#pragma once

#include "porttext.h"
#include "serialport.h"
#include "settings.h"
#include "telnet.h"

#include <QSet>
#include <QTcpSocket>
#include <QTimer>
#include <optional>

// The serial component over a network serial server: "rfc2217://HOST:PORT"
// (telnet with the COM-PORT-OPTION, line settings and modem lines at the
// server) or "socket://HOST:PORT" (raw bytes; the server keeps its own
// settings and direction).
//
// Nothing here waits on the network. Opening starts the connection and
// returns; the line settings are sent once the server agrees to the option.
// What is written meanwhile (frames and modem-line changes, in order) is held
// until the server has read the settings back, and goes out then. Held output
// that could not go out within kHoldMs is dropped: the wait for the reply is
// over by then, and a frame sent after it would answer nobody; lineFault tells
// of it (NotConfirmed). A connection, option or answer that does not come
// within kAnswerMs fails the port.
class NetSerialPort : public SerialPort {
    Q_OBJECT
public:
    static constexpr int kAnswerMs = 3000;
    static constexpr int kHoldMs = 250;
    static constexpr int kControlAnswerMs = 1000;
    // Bounds on what the network can make us keep.
    static constexpr qsizetype kMaxInput = 1 << 20;
    static constexpr qsizetype kMaxHeld = 4 << 20;

    explicit NetSerialPort(QObject *parent = nullptr);

    // Where the next opening connects; `name` is the text the user gave.
    void setAddress(const PortText &address, const QString &name);
    QString name() const { return name_; }
    bool connectedTo(const PortText &address) const;
    // True once the server holds the settings (or at once for raw bytes).
    bool ready() const { return state_ == State::Ready; }
    // For the command line: runs the event loop until ready or failed.
    bool waitReady();

    bool portOpen() const override { return state_ != State::Closed; }
    bool setPortOpen(bool open) override;
    int portNumber() const override { return number_; }
    void setPortNumber(int n) override { number_ = n; }
    bool setSettings(const QString &settings) override;
    void discardOutput() override;
    void discardInput() override;
    // The address comes from setAddress(); a port number only names it.
    void setPortText(const QString &text) override;
    // Nobody here sees the wire: the server switches the direction.
    void setRelease(std::optional<LineLevel>) override {}
    bool setRs485(bool) override { return true; }

protected:
    void writeData(const QByteArray &bytes) override;
    QByteArray readData() override;

public:
    void setRts(bool on) override;
    void setDtr(bool on) override;
    PortError lastError() const override { return error_; }

signals:
    void readyChanged();

private:
    // Connecting: TCP under way; Agreeing: waiting for the server to take the
    // COM-PORT-OPTION; Settling: settings sent, answers outstanding; Ready.
    enum class State { Closed, Connecting, Agreeing, Settling, Ready };

    bool telnet() const { return address_.kind == PortText::Rfc2217; }
    void onConnected();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError e);
    void onEvent(const telnet::Event &e);
    void quickAck();
    void onAnswer(quint8 code, const QByteArray &value);
    void sendSettings();
    void settled();
    void send(const QByteArray &wire, qsizetype chars);
    void flushHeld();
    void control(quint8 value);
    void countControl();
    void purge(quint8 which);
    void fail(PortError::Kind kind, const QString &reason = {});
    void close();

    QTcpSocket socket_;
    telnet::Decoder decoder_;
    PortText address_;
    QString name_;
    int number_ = 1;
    State state_ = State::Closed;
    quint64 opening_ = 0;
    telnet::Negotiation negotiation_;
    telnet::SettingsExchange exchange_;
    LineSettings settings_;
    unsigned purgeDue_ = 0; // PURGE-DATA choices asked before the settings went
    QByteArray held_;       // telnet bytes waiting for the settings answers
    qsizetype heldChars_ = 0;
    QByteArray input_;
    PortError error_;
    QTimer answerTimer_; // connection, option and settings answers
    QTimer holdTimer_;
    QTimer releaseTimer_; // event code 1 after the wire time
    qint64 busyUntilNs_ = 0;
    bool releaseDue_ = false;
    QTimer controlTimer_; // an unanswered SET-CONTROL is noted once
    int controlsUnanswered_ = 0;
    bool controlHeld_ = false;
    QSet<QString> told_; // addresses already noted
};
