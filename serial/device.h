#pragma once

#include "serialport.h"
#include "settings.h"

#include <QList>
#include <optional>

// What the system says about a device, asked on its open handle or its path.
// Tests put other answers in place to play a device that is not at hand.
class DeviceAnswers {
public:
    virtual ~DeviceAnswers() = default;
    // A pseudo-terminal has no wire: no settings to garble, no modem lines.
    virtual bool pseudoTerminal(int fd) const;
    // The line settings in force; nothing (errno set) if the device does not say.
    virtual std::optional<TermiosAnswer> lineSettings(int fd) const;
    // Characters the driver still holds (TIOCOUTQ).
    virtual qint64 outputQueued(int fd) const;
    // The transmitter's empty bit where the driver answers TIOCSERGETLSR.
    virtual std::optional<bool> transmitterEmpty(int fd) const;
    virtual bool hungUp(int fd) const;
    virtual bool exists(const QString &path) const;
    virtual bool accessible(const QString &path) const;
    virtual QList<PresentDevice> presentDevices() const;
};
