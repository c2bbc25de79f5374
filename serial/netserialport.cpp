#include "netserialport.h"

#include "clock.h"
#include "log.h"

#include <QEventLoop>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <utility>

NetSerialPort::NetSerialPort(QObject *parent) : SerialPort(parent), socket_(this) {
    socket_.setReadBufferSize(64 * 1024);
    for (QTimer *t : {&answerTimer_, &holdTimer_, &releaseTimer_, &controlTimer_}) {
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
    }
    answerTimer_.setInterval(kAnswerMs);
    holdTimer_.setInterval(kHoldMs);
    controlTimer_.setInterval(kControlAnswerMs);
    connect(&socket_, &QTcpSocket::connected, this, &NetSerialPort::onConnected);
    connect(&socket_, &QTcpSocket::readyRead, this, &NetSerialPort::onReadyRead);
    connect(&socket_, &QTcpSocket::errorOccurred, this, &NetSerialPort::onSocketError);
    connect(&answerTimer_, &QTimer::timeout, this, [this] { fail(PortError::NoAnswer); });
    connect(&holdTimer_, &QTimer::timeout, this, [this] {
        qCDebug(lcSerial, "%s: not ready after %d ms, %lld held bytes dropped", qPrintable(name_),
                kHoldMs, qlonglong(held_.size()));
        // A frame must not vanish without a word; a held modem-line change
        // alone is not worth one.
        if (heldChars_ > 0) {
            PortError e{PortError::NotConfirmed, number_, name_};
            e.name = name_;
            emit lineFault(e);
        }
        held_.clear();
        heldChars_ = 0;
        controlHeld_ = false;
        releaseDue_ = false;
    });
    connect(&releaseTimer_, &QTimer::timeout, this, [this] {
        if (!releaseDue_) return;
        releaseDue_ = false;
        emit comm(EvSend);
    });
    connect(&controlTimer_, &QTimer::timeout, this, [this] {
        const QString key = name_ + QStringLiteral("#control");
        if (controlsUnanswered_ == 0 || told_.contains(key)) return;
        told_.insert(key);
        qCWarning(lcSerial,
                  "%s 的服务器没有回答 RTS/DTR 的设置（SET-CONTROL），可能没有这些线；"
                  "照常发送。",
                  qPrintable(name_));
    });
}

void NetSerialPort::setAddress(const PortText &address, const QString &name) {
    if (!connectedTo(address)) close();
    address_ = address;
    name_ = name;
}

void NetSerialPort::setPortText(const QString &text) {
    if (const PortText t = port_text_of(text); t.kind == PortText::Com) number_ = t.number;
}

bool NetSerialPort::connectedTo(const PortText &address) const {
    return state_ != State::Closed && address.kind == address_.kind &&
           address.host == address_.host && address.port == address_.port;
}

bool NetSerialPort::waitReady() {
    if (state_ == State::Ready || state_ == State::Closed) return ready();
    QEventLoop loop;
    connect(this, &NetSerialPort::readyChanged, &loop, &QEventLoop::quit);
    loop.exec();
    return ready();
}

bool NetSerialPort::setPortOpen(bool open) {
    if (!open) {
        close();
        return true;
    }
    if (state_ != State::Closed) return true;
    if (address_.kind == PortText::Other) {
        error_ = {PortError::NotFound, number_, name_};
        error_.name = name_;
        return false;
    }
    ++opening_;
    decoder_ = {};
    negotiation_ = {};
    exchange_ = {};
    input_.clear();
    state_ = State::Connecting;
    answerTimer_.start();
    socket_.connectToHost(address_.host, address_.port);
    return true;
}

void NetSerialPort::close() {
    const bool was = state_ == State::Ready;
    answerTimer_.stop();
    holdTimer_.stop();
    releaseTimer_.stop();
    controlTimer_.stop();
    releaseDue_ = false;
    held_.clear();
    heldChars_ = 0;
    controlHeld_ = false;
    purgeDue_ = 0;
    busyUntilNs_ = 0;
    controlsUnanswered_ = 0;
    state_ = State::Closed;
    socket_.abort();
    if (was) emit readyChanged();
}

void NetSerialPort::fail(PortError::Kind kind, const QString &reason) {
    error_ = {kind, number_, name_, reason};
    error_.name = name_;
    qCDebug(lcSerial, "%s: failed (%d) %s", qPrintable(name_), int(kind), qPrintable(reason));
    close();
    emit readyChanged();
    emit failed(error_);
}

void NetSerialPort::onSocketError(QAbstractSocket::SocketError e) {
    if (state_ == State::Closed) return;
    switch (e) {
    case QAbstractSocket::HostNotFoundError:
        return fail(PortError::HostNotFound, socket_.errorString());
    case QAbstractSocket::ConnectionRefusedError:
        return fail(PortError::Refused, socket_.errorString());
    case QAbstractSocket::RemoteHostClosedError:
        return fail(PortError::Closed, socket_.errorString());
    case QAbstractSocket::SocketTimeoutError:
        return fail(PortError::NoAnswer, socket_.errorString());
    default:
        return fail(PortError::Io, socket_.errorString());
    }
}

void NetSerialPort::onConnected() {
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    quickAck();
    if (!telnet()) {
        if (!told_.contains(name_)) {
            told_.insert(name_);
            qCWarning(lcSerial, "%s 只传送字节：线路设置和收发方向由服务器决定。",
                      qPrintable(name_));
        }
        settled();
        return;
    }
    state_ = State::Agreeing;
    answerTimer_.start();
    socket_.write(negotiation_.open());
}

void NetSerialPort::onReadyRead() {
    const QByteArray bytes = socket_.readAll();
    quickAck();
    QByteArray data;
    if (telnet()) {
        QList<telnet::Event> events;
        decoder_.feed(bytes, data, events);
        for (const telnet::Event &e : events) {
            onEvent(e);
            if (state_ == State::Closed) return;
        }
    } else {
        data = bytes;
    }
    if (data.isEmpty()) return;
    input_ += data;
    // Unread input the instrument could never have sent is not kept for ever.
    if (input_.size() > kMaxInput) input_.remove(0, input_.size() - kMaxInput);
    emit comm(EvReceive);
}

void NetSerialPort::quickAck() {
    // A server with Nagle's algorithm holds its next answer (or the reply)
    // until we acknowledge the last; Linux would delay that by up to 40 ms.
    // The option lasts only until the next delayed acknowledgement, so again
    // after each read.
    const int on = 1;
    ::setsockopt(int(socket_.socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

void NetSerialPort::onEvent(const telnet::Event &e) {
    using namespace telnet;
    if (e.kind == Event::Sub) {
        if (e.option == kComPort && !e.payload.isEmpty())
            onAnswer(quint8(e.payload[0]), e.payload.mid(1));
        return;
    }
    const Negotiation::Answer a = negotiation_.answer(e.verb, e.option);
    if (a.comPort == Negotiation::ComPortSaid::Refused) return fail(PortError::OptionRefused);
    if (!a.bytes.isEmpty()) socket_.write(a.bytes);
    if (a.comPort == Negotiation::ComPortSaid::Agreed && state_ == State::Agreeing) sendSettings();
}

void NetSerialPort::onAnswer(quint8 code, const QByteArray &value) {
    if (code == telnet::SetControl + telnet::kServerOffset) {
        controlsUnanswered_ = 0;
        return;
    }
    if (exchange_.take(code, value) && exchange_.answered()) settled();
}

void NetSerialPort::sendSettings() {
    using namespace telnet;
    // Settings the server has already read back on this connection need no
    // wait: it applies them before what follows, and the answers are still
    // checked. Waiting would also cost a server with Nagle's algorithm on a
    // delayed acknowledgement (40 ms) for each TEST.
    if (!(state_ == State::Ready && exchange_.readBack(settings_))) state_ = State::Settling;
    answerTimer_.start();
    socket_.write(exchange_.ask(settings_));
    // Emptied before this connection could say so: the server's buffers may
    // hold what its line received before the settings.
    for (const quint8 which : {kPurgeTransmit, kPurgeReceive})
        if (purgeDue_ & (1u << which)) purge(which);
    purgeDue_ = 0;
}

void NetSerialPort::settled() {
    answerTimer_.stop();
    if (telnet() && !exchange_.held()) {
        // Nothing may go out on a line other than the box says.
        error_ = {PortError::SettingsNotHeld, number_, name_};
        error_.name = name_;
        error_.asked = settings_;
        error_.kept = exchange_.kept();
        const PortError e = error_;
        close();
        emit readyChanged();
        emit failed(e);
        return;
    }
    if (state_ == State::Ready) return;
    state_ = State::Ready;
    emit readyChanged();
    flushHeld();
}

bool NetSerialPort::setSettings(const QString &settings) {
    const auto parsed = parse_settings(settings);
    if (!parsed) {
        error_ = {PortError::Settings, number_, name_, settings};
        error_.name = name_;
        return false;
    }
    settings_ = *parsed;
    // The answers are awaited with whatever is written next held back.
    if (telnet() && (state_ == State::Settling || state_ == State::Ready)) sendSettings();
    return true;
}

void NetSerialPort::discardOutput() {
    held_.clear();
    heldChars_ = 0;
    controlHeld_ = false;
    holdTimer_.stop();
    purge(telnet::kPurgeTransmit);
}

void NetSerialPort::discardInput() {
    input_.clear();
    purge(telnet::kPurgeReceive);
}

void NetSerialPort::purge(quint8 which) {
    if (!telnet()) return;
    if (state_ == State::Settling || state_ == State::Ready)
        socket_.write(telnet::comPort(telnet::PurgeData, QByteArray(1, char(which))));
    else if (state_ != State::Closed)
        purgeDue_ |= 1u << which; // the server is told right after the settings
}

void NetSerialPort::writeData(const QByteArray &bytes) {
    if (state_ == State::Closed) return;
    // Every write ends with a send event, an empty one included.
    releaseDue_ = true;
    send(telnet() ? telnet::escape(bytes) : bytes, bytes.size());
}

void NetSerialPort::send(const QByteArray &wire, qsizetype chars) {
    if (state_ != State::Ready) {
        if (held_.size() + wire.size() > kMaxHeld) return;
        if (held_.isEmpty()) holdTimer_.start();
        held_ += wire;
        heldChars_ += chars;
        return;
    }
    socket_.write(wire);
    socket_.flush();
    // The wire time counts from the hand-over to the network: the server
    // sends at the line's pace after what it was given before.
    const qint64 now = monotonic_ns();
    const qint64 charNs = char_ns(settings_);
    busyUntilNs_ = std::max(busyUntilNs_, now) + chars * charNs;
    if (releaseDue_) {
        constexpr qint64 msNs = 1'000'000;
        releaseTimer_.start(int((busyUntilNs_ - now + msNs - 1) / msNs));
    }
}

void NetSerialPort::countControl() {
    ++controlsUnanswered_;
    if (!controlTimer_.isActive()) controlTimer_.start();
}

void NetSerialPort::flushHeld() {
    holdTimer_.stop();
    if (std::exchange(controlHeld_, false) && !held_.isEmpty()) countControl();
    if (held_.isEmpty() && !releaseDue_) return;
    const QByteArray wire = std::exchange(held_, {});
    send(wire, std::exchange(heldChars_, 0));
}

QByteArray NetSerialPort::readData() {
    return std::exchange(input_, {});
}

void NetSerialPort::control(quint8 value) {
    if (!telnet() || state_ == State::Closed) return;
    // Counted once it has gone out: a held one is not yet the server's to answer.
    if (state_ == State::Ready)
        countControl();
    else
        controlHeld_ = true;
    send(telnet::comPort(telnet::SetControl, QByteArray(1, char(value))), 0);
}

void NetSerialPort::setRts(bool on) {
    control(on ? telnet::kRtsOn : telnet::kRtsOff);
}

void NetSerialPort::setDtr(bool on) {
    control(on ? telnet::kDtrOn : telnet::kDtrOff);
}
