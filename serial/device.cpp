// The kernel's own termios (termios2) tells the speed in baud, also for rates
// that have no B constant; its header cannot meet <termios.h> in one file.
#include <asm/termbits.h>

#include "device.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

bool DeviceAnswers::pseudoTerminal(int fd) const {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned m = major(st.st_rdev);
    // 128-143: Unix98 masters and slaves; 2 and 3: the old BSD pairs.
    return (m >= 128 && m <= 143) || m == 2 || m == 3;
}

std::optional<TermiosAnswer> DeviceAnswers::lineSettings(int fd) const {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return std::nullopt;
    return TermiosAnswer{quint32(t.c_ospeed), quint32(t.c_cflag)};
}

qint64 DeviceAnswers::outputQueued(int fd) const {
    int queued = 0;
    return ::ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
}

std::optional<bool> DeviceAnswers::transmitterEmpty(int fd) const {
    unsigned int lsr = 0;
    if (::ioctl(fd, TIOCSERGETLSR, &lsr) != 0) return std::nullopt;
    return (lsr & TIOCSER_TEMT) != 0;
}

bool DeviceAnswers::setModemLine(int fd, LineLevel level) const {
    const int bits = level.line == LineLevel::Rts ? TIOCM_RTS : TIOCM_DTR;
    return ::ioctl(fd, level.on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

std::optional<bool> DeviceAnswers::rs485(int fd) const {
    serial_rs485 r{};
    if (::ioctl(fd, TIOCGRS485, &r) != 0) return std::nullopt;
    return (r.flags & SER_RS485_ENABLED) != 0;
}

DeviceAnswers::Rs485Set DeviceAnswers::setRs485(int fd, bool on) const {
    serial_rs485 r{};
    // Off keeps what else the driver holds (its delays, the RTS levels).
    if (!on && ::ioctl(fd, TIOCGRS485, &r) != 0) return Rs485Set::Refused;
    constexpr quint32 asked = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    r.flags = on ? asked : r.flags & ~SER_RS485_ENABLED;
    if (on) r.delay_rts_before_send = r.delay_rts_after_send = 0;
    if (::ioctl(fd, TIOCSRS485, &r) != 0) return Rs485Set::Refused;
    if (!on) return Rs485Set::Held;
    // A driver may take the call and keep what its hardware can do instead:
    // RTS inverted (on after sending) keeps the converter from ever sending.
    serial_rs485 kept{};
    if (::ioctl(fd, TIOCGRS485, &kept) != 0) return Rs485Set::Refused;
    constexpr quint32 mode = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND;
    return (kept.flags & mode) == asked ? Rs485Set::Held : Rs485Set::NotHeld;
}

DeviceAnswers::LowLatency DeviceAnswers::setLowLatency(int fd, bool on) const {
    serial_struct ss{};
    if (::ioctl(fd, TIOCGSERIAL, &ss) != 0) return LowLatency::Refused;
    const bool was = (ss.flags & ASYNC_LOW_LATENCY) != 0;
    if (on && was) return LowLatency::AlreadySet;
    ss.flags = on ? ss.flags | ASYNC_LOW_LATENCY : ss.flags & ~ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &ss) != 0) return LowLatency::Refused;
    return LowLatency::Set;
}

bool DeviceAnswers::hungUp(int fd) const {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

bool DeviceAnswers::exists(const QString &path) const {
    return QFileInfo::exists(path);
}

bool DeviceAnswers::accessible(const QString &path) const {
    return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
}

bool DeviceAnswers::notSerial(const QString &path) const {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0) return false;
    if (!S_ISCHR(st.st_mode)) return true;
    // A character device: only a terminal takes line settings.
    const int fd = ::open(name.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool terminal = ::isatty(fd) == 1;
    ::close(fd);
    return !terminal;
}

QList<PresentDevice> DeviceAnswers::presentDevices() const {
    QList<PresentDevice> present;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        QString description = info.description();
        if (description.isEmpty()) description = builtInPortDescription(info.systemLocation());
        present.append({info.systemLocation(), description});
    }
    return present;
}

QString builtInPortDescription(const QString &device, const QString &sysfsTty) {
    const QString name = QFileInfo(device).fileName();
    if (!name.startsWith(QLatin1String("ttyS"))) return {};
    const auto linkName = [](const QString &link) {
        return QFileInfo(QFileInfo(link).symLinkTarget()).fileName();
    };
    // Since Linux 6.5 the port sits on serial-base devices (drivers "port" and
    // "ctrl") below the one whose driver found the UART.
    QString dev = QFileInfo(sysfsTty + QLatin1String("/") + name + QLatin1String("/device"))
                      .canonicalFilePath();
    for (int up = 0;
         up < 3 && linkName(dev + QLatin1String("/subsystem")) == QLatin1String("serial-base");
         ++up)
        dev = QFileInfo(dev).path();
    const QString driver = dev.isEmpty() ? QString() : linkName(dev + QLatin1String("/driver"));
    if (driver.isEmpty()) return {};
    QString text = QStringLiteral("内置串口（%1）").arg(driver);
    QFile active(sysfsTty + QLatin1String("/console/active"));
    if (active.open(QIODevice::ReadOnly) &&
        QString::fromLatin1(active.readAll()).simplified().split(QLatin1Char(' ')).contains(name))
        text += QStringLiteral("，系统控制台");
    return text;
}
