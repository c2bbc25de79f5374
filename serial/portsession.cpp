#include "portsession.h"

#include "netserialport.h"
#include "preparation.h"
#include "qtserialport.h"

#include <QEventLoop>

Keeping keeping(KeepPolicy policy, const HeldPort &held) {
    if (!held.open || !held.sameAddress) return Keeping::Reopen;
    if (policy == KeepPolicy::Console) return held.network ? Keeping::Reset : Keeping::Reopen;
    return held.sameSetup ? Keeping::Keep : Keeping::Reset;
}

PortAddress address_of(const QString &portText, const PortMap &map) {
    PortAddress a{port_text_of(portText), portText};
    if (a.text.kind == PortText::Com) {
        // --com may map a port number to a network address too.
        a.target = map.device(a.text.number);
        const PortText mapped = port_text_of(a.target);
        if (mapped.network()) {
            a.text = mapped;
        } else {
            a.text = {};
            a.text.kind = PortText::Device;
        }
    }
    if (!a.text.network() && a.text.kind != PortText::Device) a.target.clear();
    return a;
}

std::unique_ptr<SerialPort> make_port(const PortAddress &address, const PortMap &map) {
    if (address.text.network()) {
        auto net = std::make_unique<NetSerialPort>();
        net->setAddress(address.text, address.target);
        return net;
    }
    return std::make_unique<QtSerialPort>(map);
}

PortSession::PortSession(PortMap map, Factory factory, QObject *parent)
    : QObject(parent), map_(std::move(map)), factory_(std::move(factory)) {
    address_ = address_of(name_, map_);
    if (!factory_) factory_ = [this](const PortAddress &a) { return make_port(a, map_); };
    owned_ = factory_(address_);
    hold(owned_.get());
}

PortSession::PortSession(SerialPort &port, QObject *parent) : QObject(parent) {
    hold(&port);
}

PortSession::~PortSession() = default;

void PortSession::setListenOnly(std::optional<LineLevel> hold) {
    listenOnly_ = true;
    hold_ = hold;
    port_->setListenOnly(hold);
}

void PortSession::hold(SerialPort *port) {
    port_ = port;
    if (listenOnly_) port->setListenOnly(hold_);
    connect(port, &SerialPort::sent, this, &PortSession::sent);
    connect(port, &SerialPort::received, this, &PortSession::received);
    connect(port, &SerialPort::comm, this, &PortSession::comm);
    connect(port, &SerialPort::failed, this, [this](const PortError &e) { emit failed(named(e)); });
    connect(port, &SerialPort::lineFault, this,
            [this](const PortError &e) { emit lineFault(named(e)); });
}

// Errors name the port as the user gave it, where the back-end did not.
PortError PortSession::named(PortError e) const {
    if (factory_ && e.name.isEmpty()) e.name = name_;
    return e;
}

bool PortSession::prepare(const QString &portText, const QString &settings, const QString &signal,
                          KeepPolicy policy) {
    PortAddress asked = address_of(portText, map_);
    if (asked.text.kind == PortText::Bad) {
        // Nothing goes to the port used before: its reply would be credited to another.
        port_->setPortOpen(false);
        bad_ = asked.text.problem;
        name_ = portText;
        setup_.clear();
        return false;
    }
    if (asked.text.kind == PortText::Other) {
        // A text of none of the forms leaves the port as it was.
        if (bad_) return false;
        asked = address_;
    } else {
        bad_.reset();
        name_ = portText;
    }
    const QString setup = settings + QLatin1Char(' ') + signal;
    const Keeping k = keeping(
        policy, {port_->portOpen(), asked.text.network(), asked == address_, setup == setup_});
    if (factory_ && !(asked == address_)) {
        // Another address, another back-end; the old one says nothing more.
        port_->setPortOpen(false);
        disconnect(port_, nullptr, this, nullptr);
        owned_.release()->deleteLater();
        owned_ = factory_(asked);
        hold(owned_.get());
    }
    address_ = asked;
    bool ok = true;
    switch (k) {
    case Keeping::Reopen:
        ok = test_preparation(*port_, portText, settings, signal);
        break;
    case Keeping::Reset:
        ok = reset_preparation(*port_, settings, signal);
        break;
    case Keeping::Keep:
        purge_preparation(*port_);
        break;
    }
    setup_ = ok ? setup : QString();
    return ok;
}

PortError PortSession::lastError() const {
    if (!bad_) return named(port_->lastError());
    PortError e{PortError::BadAddress};
    e.name = name_;
    e.problem = *bad_;
    return e;
}

bool PortSession::waitReady() {
    auto *net = qobject_cast<NetSerialPort *>(port_);
    if (!net) return true;
    return net->portOpen() && net->waitReady();
}
