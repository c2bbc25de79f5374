#include "qtserialport.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Warnings name the program that gives them: the console or the probe.
QByteArray program_name() {
    const QString name = QCoreApplication::applicationName();
    return (name.isEmpty() ? QStringLiteral("kestrova-comtest") : name).toLocal8Bit();
}

} // namespace

QtSerialPort::QtSerialPort(PortMap map, QObject *parent)
    : SerialPort(parent), map_(std::move(map)), port_(this) {
    // bytesWritten only says the kernel took the bytes; the wire is far slower,
    // so the send event comes from polling what is still queued.
    drain_.setTimerType(Qt::PreciseTimer);
    drain_.setInterval(1);
    connect(&drain_, &QTimer::timeout, this, &QtSerialPort::pollDrain);
    connect(&port_, &QSerialPort::readyRead, this, [this] { emit comm(2); });
    connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialPort::onError);
}

bool QtSerialPort::portOpen() const {
    return port_.isOpen();
}

bool QtSerialPort::fail(PortError::Kind kind, const QString &reason) {
    error_ = {kind, number_, device(), reason};
    return false;
}

bool QtSerialPort::setPortOpen(bool open) {
    if (!open) {
        drain_.stop();
        if (port_.isOpen()) port_.close();
        return true;
    }
    if (port_.isOpen()) return true;
    const QString path = device();
    port_.setPortName(path);
    ignoreErrors_ = true;
    const bool ok = port_.open(QIODevice::ReadWrite);
    ignoreErrors_ = false;
    if (!ok) {
        const QSerialPort::SerialPortError e = port_.error();
        const QString reason = port_.errorString();
        port_.clearError();
        if (e == QSerialPort::DeviceNotFoundError || !QFileInfo::exists(path))
            return fail(PortError::NotFound, reason);
        if (e == QSerialPort::PermissionError) {
            // Qt reports a port held by another program (its lock) as a permission
            // error too; the file's own permissions tell the two apart.
            const bool accessible = ::access(path.toLocal8Bit().constData(), R_OK | W_OK) == 0;
            return fail(accessible ? PortError::Busy : PortError::Permission, reason);
        }
        return fail(PortError::Io, reason);
    }
    broken_ = false;
    if (!lineWarningOnce_) lineWarned_ = false;
    ++opening_;
    if (!setSettings(QString())) {
        // Settings kept from before the opening did not take; report, keep it open.
        return false;
    }
    return true;
}

bool QtSerialPort::setSettings(const QString &settings) {
    if (!settings.isNull()) {
        const auto parsed = parse_settings(settings);
        if (!parsed) return fail(PortError::Settings, settings);
        settings_ = *parsed;
    }
    if (!port_.isOpen()) return true;
    ignoreErrors_ = true;
    QStringList refused;
    if (!port_.setBaudRate(settings_.rate))
        refused << QStringLiteral("rate %1").arg(settings_.rate);
    if (!port_.setParity(settings_.parity)) refused << QStringLiteral("parity");
    if (!port_.setDataBits(settings_.dataBits)) refused << QStringLiteral("data bits");
    if (!port_.setStopBits(settings_.stopBits)) refused << QStringLiteral("stop bits");
    port_.clearError();
    ignoreErrors_ = false;
    unheld_ = refused;
    // A well-formed text the device cannot hold (a pseudo-terminal keeps 8 data
    // bits without parity) is the device's limit, not the user's mistake: warn
    // and send all the same, as for missing modem lines.
    if (!refused.isEmpty())
        std::fprintf(stderr, "%s: 警告：COM%d（%s）不支持设置 %s\n", program_name().constData(),
                     number_, qPrintable(device()), qPrintable(refused.join(QStringLiteral(", "))));
    return true;
}

void QtSerialPort::discardOutput() {
    drain_.stop();
    if (port_.isOpen()) port_.clear(QSerialPort::Output);
}

void QtSerialPort::discardInput() {
    if (port_.isOpen()) port_.clear(QSerialPort::Input);
}

void QtSerialPort::output(const QByteArray &bytes) {
    if (!port_.isOpen()) return;
    port_.write(bytes);
    // Every write ends with at least one send event, short ones included.
    drain_.start();
}

QByteArray QtSerialPort::input() {
    return port_.isOpen() ? port_.readAll() : QByteArray();
}

qint64 QtSerialPort::kernelQueued() const {
    int queued = 0;
    if (port_.isOpen() && ::ioctl(port_.handle(), TIOCOUTQ, &queued) == 0) return queued;
    return 0;
}

void QtSerialPort::pollDrain() {
    if (!port_.isOpen()) {
        drain_.stop();
        return;
    }
    if (port_.bytesToWrite() + kernelQueued() < sthreshold_) {
        drain_.stop();
        emit comm(1);
    }
}

void QtSerialPort::lineFailed(const char *line) {
    const QString reason = port_.errorString();
    port_.clearError();
    // Pseudo-terminals and many USB adapters have no modem lines; the frame still goes out.
    // One line per opening, not one per raise and release.
    if (!lineWarned_) {
        lineWarned_ = true;
        std::fprintf(stderr, "%s: 警告：COM%d（%s）无法设置 %s 线：%s\n",
                     program_name().constData(), number_, qPrintable(device()), line,
                     qPrintable(reason));
    }
}

void QtSerialPort::setRts(bool on) {
    if (!port_.isOpen()) return;
    ignoreErrors_ = true;
    const bool ok = port_.setRequestToSend(on);
    ignoreErrors_ = false;
    if (!ok) lineFailed("RTS");
}

void QtSerialPort::setDtr(bool on) {
    if (!port_.isOpen()) return;
    ignoreErrors_ = true;
    const bool ok = port_.setDataTerminalReady(on);
    ignoreErrors_ = false;
    if (!ok) lineFailed("DTR");
}

void QtSerialPort::onError(QSerialPort::SerialPortError e) {
    if (ignoreErrors_ || e == QSerialPort::NoError) return;
    if (e == QSerialPort::ResourceError || e == QSerialPort::ReadError ||
        e == QSerialPort::WriteError) {
        if (broken_) return;
        broken_ = true;
        error_ = {PortError::Io, number_, device(), breakdownReason()};
        // Closing from inside QSerialPort's own notification is not safe; the
        // flag above swallows the storm until the queued close runs. A TEST that
        // reopened the port meanwhile must not lose it to this close.
        QMetaObject::invokeMethod(
            this,
            [this, opening = opening_] {
                if (opening == opening_) breakDown();
            },
            Qt::QueuedConnection);
    }
}

QString QtSerialPort::breakdownReason() const {
    // A hung-up terminal reads as end of file, and QSerialPort then reports
    // whatever errno an earlier call left behind; the descriptor itself knows.
    pollfd p{port_.handle(), POLLIN, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP))
        return QStringLiteral("设备已挂断（连接断开或设备被拔出）");
    if (!QFileInfo::exists(device())) return QStringLiteral("设备已被移除");
    return port_.errorString();
}

void QtSerialPort::breakDown() {
    drain_.stop();
    port_.clearError();
    if (port_.isOpen()) port_.close();
    emit failed(error_);
}
