#pragma once

#include "porttext.h"
#include "settings.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <optional>

// A serial device the system knows of, as offered when the chosen one is missing.
struct PresentDevice {
    QString device;
    QString description; // the driver's or the adapter's own words, may be empty
};

// One modem-control line of the port at a level.
struct LineLevel {
    enum Line { Rts, Dtr };
    Line line = Rts;
    bool on = false;
};

// Why an operation on the port failed; enough for the window to tell the user.
struct PortError {
    enum Kind {
        None,
        NotFound,
        Permission,
        Busy,
        Settings,        // a settings text the component cannot parse
        SettingsNotHeld, // the device kept other settings than were asked
        LineRefused,     // the device would not set RTS or DTR
        HungUp,          // the open device hung up (link lost, adapter pulled out)
        Removed,         // the open device's path has gone
        Io,
        Rs485Refused, // the driver has no RS-485 mode (it cannot switch the direction itself)
        Rs485Kept,    // the driver keeps an RS-485 mode it had before us: it drives RTS itself
        Rs485NotHeld, // the driver took RS-485 mode, but not RTS on while sending
        NoRealtime,   // the release thread has no real-time priority: releases may come late
        // A network serial port (the address is the name):
        HostNotFound,  // the host name has no address
        Refused,       // nobody listens at the address
        Closed,        // the server closed the connection
        NoAnswer,      // no connection or no answer within the time allowed
        OptionRefused, // the server will not speak the COM-PORT-OPTION
        BadAddress,    // the port text looks like an address but cannot be used
        NotSerial,     // the path is there, but no serial device (a file, a directory)
        NotConfirmed,  // the server read the settings back too late: a frame was not sent
    };
    PortError(Kind k = None, int n = 0, QString path = {}, QString why = {})
        : kind(k), port(n), device(std::move(path)), reason(std::move(why)) {}

    Kind kind = None;
    int port = 0;   // COMn
    QString device; // the path behind COMn
    QString name;   // the port as the user gave it ("COM3", "/dev/ttyUSB0", an address)
    QString reason; // the system's own words
    // SettingsNotHeld: what was asked and what the device kept.
    LineSettings asked;
    LineSettings kept;
    QString line;                                    // LineRefused: "RTS" or "DTR"
    PortText::Problem problem = PortText::NoProblem; // BadAddress
    QList<PresentDevice> present;                    // NotFound: the serial devices that do exist
};

// The serial component the console drives. One implementation talks to a real
// device through QSerialPort, another records every call for tests.
//
// Communication events are delivered through comm(code) on the GUI thread, from
// the event loop, never from inside one of the calls below:
//   code 2  characters have arrived (read them with input())
//   code 1  everything written has left the port (at least one after every write);
//           the direction line is already at the level handed to setRelease()
class SerialPort : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialPort() override = default;

    // The codes of comm(code).
    enum CommEvent : int { EvSend = 1, EvReceive = 2 };

    virtual bool portOpen() const = 0;
    // Opens with the current port number and settings, or closes. False on failure.
    virtual bool setPortOpen(bool open) = 0;
    virtual int portNumber() const = 0;
    virtual void setPortNumber(int n) = 0;
    // The port by the text of the port box, at the next opening: "COMn", and
    // whatever else the back-end reaches; other texts leave it as it was.
    virtual void setPortText(const QString &text) = 0;
    // Text such as "9600,n,8,2"; takes effect at once on an open port. False if
    // rejected, or if the device did not take it.
    virtual bool setSettings(const QString &settings) = 0;
    virtual void discardOutput() = 0; // transmit count 0
    virtual void discardInput() = 0;  // InBufferCount 0
    // The classic communication control's thresholds and input mode: plain
    // data that the preparation sets and no back-end acts on (input() always
    // returns everything waiting, every arrival and every write's end is
    // told, bytes pass through as they are). -1 until set.
    struct Controls {
        int inputLength = -1;
        int sThreshold = -1;
        int rThreshold = -1;
        int inputMode = -1;
    };
    void setControls(const Controls &c) { controls_ = c; }
    const Controls &controls() const { return controls_; }
    // Queues the bytes for sending, in order, and returns at once; sent() tells.
    // Dropped on a port opened to listen only.
    void output(const QByteArray &bytes) {
        if (listenOnly_) return;
        levelAtWrite_ = directionLevel();
        writeData(bytes);
        emit sent(bytes);
    }
    // Everything received and not yet read, now removed; received() tells of
    // a batch that is not empty.
    QByteArray input() {
        QByteArray batch = readData();
        if (!batch.isEmpty()) emit received(batch);
        return batch;
    }
    virtual void setRts(bool on) = 0;
    virtual void setDtr(bool on) = 0;
    // The level the direction line goes back to once a write has left the
    // wire: the port sets it itself, at that moment, before the write's code 1.
    // Nothing: no line. Holds for every write until handed another. A port
    // that cannot see the wire (over a network) leaves it to the far end.
    virtual void setRelease(std::optional<LineLevel> level) = 0;
    // The driver's own direction switching (RS-485 mode), on or off. False,
    // with the reason, where the driver refuses. A port whose direction is
    // switched at the far end has nothing to do.
    virtual bool setRs485(bool on) = 0;

    // The reason of the last failed operation.
    virtual PortError lastError() const = 0;

    // Listen only, from the next opening (a monitor on a bus another master
    // drives): a device is opened for reading alone, nothing is ever written,
    // `hold` (if any) is set right after the opening, before anything else,
    // and the driver's low-latency mode is asked for and put back at the close.
    void setListenOnly(std::optional<LineLevel> hold) {
        listenOnly_ = true;
        hold_ = hold;
    }
    bool listenOnly() const { return listenOnly_; }
    // The direction line as it stood when the last write was handed over:
    // nothing where the port has none to release or cannot tell its level.
    std::optional<LineLevel> levelAtWrite() const { return levelAtWrite_; }
    // The open device delivers each character at once (no adapter timer).
    virtual bool lowLatency() const { return false; }
    // Bytes come from a UART or a USB adapter, not a pseudo-terminal or a network.
    virtual bool wire() const { return false; }

protected:
    bool listenOnly_ = false;
    std::optional<LineLevel> hold_;
    std::optional<LineLevel> levelAtWrite_;
    Controls controls_;

    virtual void writeData(const QByteArray &bytes) = 0;
    // The direction line (the one handed to setRelease) at its present level.
    virtual std::optional<LineLevel> directionLevel() const { return std::nullopt; }
    virtual QByteArray readData() = 0;

signals:
    // What went out and what came in, for the session log.
    void sent(const QByteArray &bytes);
    void received(const QByteArray &batch);
    void comm(int code);
    // The open port broke down (device gone); it has been closed. Sent once per opening.
    void failed(const PortError &error);
    // A serial device refused a modem line; the frame still went out, but a
    // converter switched by that line never sends. Or its driver keeps an
    // RS-485 mode of its own and drives RTS itself. Sent once per device.
    // Or a network server confirmed the settings too late and a frame was
    // not sent; each time. Or the line is released without real-time
    // priority: once per process.
    void lineFault(const PortError &error);
};
