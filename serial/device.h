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
    // Sets one modem line (TIOCMBIS, TIOCMBIC); false, errno set, if refused.
    // Also called from the release thread: keep it free of state.
    virtual bool setModemLine(int fd, LineLevel level) const;
    // Whether the driver's RS-485 mode is on (TIOCGRS485); nothing (errno set)
    // where the driver has none.
    virtual std::optional<bool> rs485(int fd) const;
    enum class Rs485Set { Held, Refused, NotHeld };
    // Turns it on, RTS on while sending and no delays, or off (TIOCSRS485).
    // Refused (errno set) where the driver refuses; NotHeld where it took the
    // call but, read back, keeps other flags than were asked for "on".
    virtual Rs485Set setRs485(int fd, bool on) const;
    enum class LowLatency { Set, AlreadySet, Refused };
    // ASYNC_LOW_LATENCY through TIOCSSERIAL: on, or back off. Refused where
    // the driver has no such flag (a pseudo-terminal).
    virtual LowLatency setLowLatency(int fd, bool on) const;
    virtual bool hungUp(int fd) const;
    virtual bool exists(const QString &path) const;
    virtual bool accessible(const QString &path) const;
    // The path is there but is no terminal (a file, a directory, /dev/null);
    // asked only once an opening failed.
    virtual bool notSerial(const QString &path) const;
    virtual QList<PresentDevice> presentDevices() const;
};

// What sysfs says of a built-in UART (ttyS*) that the system lists without a
// description: its driver, and whether the kernel's console writes there, as
// such a port is often no bus. Reads links and files only, never the device.
QString builtInPortDescription(const QString &device,
                               const QString &sysfsTty = QStringLiteral("/sys/class/tty"));
