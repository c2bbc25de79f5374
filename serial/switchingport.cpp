#include "switchingport.h"

SwitchingPort::SwitchingPort(PortMap map, QObject *parent)
    : SerialPort(parent), map_(map), serial_(std::move(map)) {
    // Only the chosen port's events reach the window: a connection closed
    // behind the user's back after a switch to a device says nothing.
    for (SerialPort *p : {static_cast<SerialPort *>(&serial_), static_cast<SerialPort *>(&net_)}) {
        connect(p, &SerialPort::comm, this, [this, p](int code) {
            if (p == &active()) emit comm(code);
        });
        connect(p, &SerialPort::failed, this, [this, p](const PortError &e) {
            if (p == &active()) emit failed(named(e));
        });
        connect(p, &SerialPort::lineFault, this, [this, p](const PortError &e) {
            if (p == &active()) emit lineFault(named(e));
        });
    }
}

PortError SwitchingPort::named(PortError e) const {
    if (e.name.isEmpty()) e.name = name_;
    return e;
}

void SwitchingPort::setPortText(const QString &text) {
    PortText t = port_text_of(text);
    if (t.kind == PortText::Other) return;
    name_ = text;
    bad_ = t.kind == PortText::Bad ? std::optional<PortText::Problem>(t.problem) : std::nullopt;
    if (bad_) {
        // Nothing goes to the port used before: it would answer for another.
        serial_.setPortOpen(false);
        net_.setPortOpen(false);
        return;
    }
    QString target = text;
    if (t.kind == PortText::Com) {
        // --com may map a port number to a network address too.
        const PortText mapped = port_text_of(map_.device(t.number));
        if (mapped.network()) {
            target = map_.device(t.number);
            t = mapped;
        }
    }
    if (t.network()) {
        if (!net_active_) serial_.setPortOpen(false);
        net_active_ = true;
        net_.setAddress(t, target);
        return;
    }
    if (net_active_) net_.setPortOpen(false);
    net_active_ = false;
    serial_.setPortText(text);
}

bool SwitchingPort::setPortOpen(bool open) {
    if (open && bad_) return false;
    return active().setPortOpen(open);
}

PortError SwitchingPort::lastError() const {
    if (!bad_) return named(active().lastError());
    PortError e{PortError::BadAddress};
    e.name = name_;
    e.problem = *bad_;
    return e;
}

bool SwitchingPort::keepsOpenFor(const QString &text) const {
    if (!net_active_ || !net_.portOpen()) return false;
    PortText t = port_text_of(text);
    if (t.kind == PortText::Other) return true; // the port stays as it was
    if (t.kind == PortText::Com) t = port_text_of(map_.device(t.number));
    return net_.connectedTo(t);
}

bool SwitchingPort::waitReady() {
    if (!net_active_) return true;
    return net_.portOpen() && net_.waitReady();
}
