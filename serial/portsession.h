#pragma once

#include "portmap.h"
#include "porttext.h"
#include "serialport.h"

#include <QObject>
#include <functional>
#include <memory>

// How long a port is kept between TESTs: the console closes and reopens a
// device at every TEST and keeps a network connection; a run of the probe
// keeps any port until it ends.
enum class KeepPolicy { Console, Run };

// What the preparation does with the port it holds.
enum class Keeping {
    Keep,   // empty its buffers only: it holds this address and setup already
    Reset,  // settings and direction again, buffers emptied, still open
    Reopen, // closed and opened anew (a new port object if the address changed)
};

// The port held, as the one rule sees it.
struct HeldPort {
    bool open = false;
    bool network = false;
    bool sameAddress = false; // the request names the port held
    bool sameSetup = false;   // the settings and signal it was last set to
};

// The one rule for keeping a port open, for the console and the probe alike.
Keeping keeping(KeepPolicy policy, const HeldPort &held);

// The address a port text names: "COMn" through the mappings (to a device
// or a network address), a path, or a network address; Other and Bad as parsed.
struct PortAddress {
    PortText text;  // Com only as given; resolved, the kind of what it maps to
    QString target; // the device path or the network address, as text
    bool operator==(const PortAddress &o) const {
        return text.kind == o.text.kind && target == o.target;
    }
};
PortAddress address_of(const QString &portText, const PortMap &map);

// The one owner of the current port. A TEST asks it to prepare a port for a
// port text, settings and signal; it reuses the port it holds when the address
// is the same, and otherwise closes it and has the factory make the back-end
// for the new address. It tells what its port tells (the signals below are the
// port's own, re-emitted); callers use the port itself through port().
class PortSession : public QObject {
    Q_OBJECT
public:
    using Factory = std::function<std::unique_ptr<SerialPort>(const PortAddress &)>;

    // Back-ends from `factory` (make_port() if none), COMn through `map`; the
    // port for COM1 at first.
    explicit PortSession(PortMap map, Factory factory = {}, QObject *parent = nullptr);
    // Always the same port, whatever the text names (tests, the recording port).
    explicit PortSession(SerialPort &port, QObject *parent = nullptr);
    ~PortSession() override;

    SerialPort &port() { return *port_; }
    // Every port from now on listens only (SerialPort::setListenOnly).
    void setListenOnly(std::optional<LineLevel> hold);

    // Before a TEST. False at the first failing step; lastError() says why.
    bool prepare(const QString &portText, const QString &settings, const QString &signal,
                 KeepPolicy policy);
    PortError lastError() const;
    // For the command line: waits until a network port holds its settings
    // (true at once for a device); false if it failed meanwhile.
    bool waitReady();

signals:
    void sent(const QByteArray &bytes);
    void received(const QByteArray &batch);
    void comm(int code);
    void failed(const PortError &error);
    void lineFault(const PortError &error);

private:
    void hold(SerialPort *port);
    PortError named(PortError e) const;

    PortMap map_;
    Factory factory_;
    std::unique_ptr<SerialPort> owned_;
    SerialPort *port_ = nullptr;
    PortAddress address_; // what port_ was made for
    QString name_ = QStringLiteral("COM1");
    QString setup_; // the settings and signal port_ was last set to; empty if not
    std::optional<PortText::Problem> bad_; // the last text was an unusable address
    bool listenOnly_ = false;
    std::optional<LineLevel> hold_;
};

// The factory of the programs: a device port over QSerialPort, or a network
// serial port.
std::unique_ptr<SerialPort> make_port(const PortAddress &address, const PortMap &map);
