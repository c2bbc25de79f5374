#include "netserialport.h"

#include "clock.h"
#include "log.h"

#include <QEventLoop>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <sys/socket.h>
#include <utility>

namespace {

// RFC 2217's numbers for parity and stop bits.
quint8 parity_code(QSerialPort::Parity p) {
    switch (p) {
    case QSerialPort::OddParity:
        return 2;
    case QSerialPort::EvenParity:
        return 3;
    case QSerialPort::MarkParity:
        return 4;
    case QSerialPort::SpaceParity:
        return 5;
    default:
        return 1;
    }
}

std::optional<QSerialPort::Parity> parity_of(quint8 code) {
    static constexpr QSerialPort::Parity table[] = {
        QSerialPort::NoParity, QSerialPort::OddParity, QSerialPort::EvenParity,
        QSerialPort::MarkParity, QSerialPort::SpaceParity};
    if (code < 1 || code > 5) return std::nullopt;
    return table[code - 1];
}

quint8 stop_code(QSerialPort::StopBits s) {
    return s == QSerialPort::TwoStop ? 2 : s == QSerialPort::OneAndHalfStop ? 3 : 1;
}

std::optional<QSerialPort::StopBits> stop_of(quint8 code) {
    if (code == 1) return QSerialPort::OneStop;
    if (code == 2) return QSerialPort::TwoStop;
    if (code == 3) return QSerialPort::OneAndHalfStop;
    return std::nullopt;
}

constexpr unsigned bit(quint8 code) {
    return 1u << code;
}
constexpr unsigned kAllSettings = bit(telnet::SetBaudRate) | bit(telnet::SetDataSize) |
                                  bit(telnet::SetParity) | bit(telnet::SetStopSize);

} // namespace

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
    us_.reset();
    him_.reset();
    refused_.reset();
    input_.clear();
    state_ = State::Connecting;
    confirmed_ = {};
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
    awaited_ = 0;
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
    // Binary both ways: no CR/NUL games with the frames' bytes.
    us_.set(telnet::kComPort);
    us_.set(telnet::kBinary);
    him_.set(telnet::kBinary);
    socket_.write(telnet::command(telnet::WILL, telnet::kComPort) +
                  telnet::command(telnet::WILL, telnet::kBinary) +
                  telnet::command(telnet::DO, telnet::kBinary));
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
    const quint8 o = e.option;
    const bool ours = o == kBinary || o == kSuppressGoAhead || o == kComPort;
    switch (e.verb) {
    case DO:
        if (!ours) {
            // Refused once per option: a server repeating itself gets no echo.
            if (!refused_.test(o)) socket_.write(command(WONT, o));
            refused_.set(o);
        } else if (!us_.test(o)) {
            us_.set(o);
            socket_.write(command(WILL, o));
        }
        if (o == kComPort && state_ == State::Agreeing) sendSettings();
        break;
    case DONT:
        if (o == kComPort) return fail(PortError::OptionRefused);
        if (us_.test(o)) socket_.write(command(WONT, o));
        us_.reset(o);
        break;
    case WILL:
        if (!ours) {
            if (!refused_.test(o)) socket_.write(command(DONT, o));
            refused_.set(o);
        } else if (!him_.test(o)) {
            him_.set(o);
            socket_.write(command(DO, o));
        }
        break;
    case WONT:
        if (him_.test(o)) socket_.write(command(DONT, o));
        him_.reset(o);
        break;
    default:
        break;
    }
}

void NetSerialPort::onAnswer(quint8 code, const QByteArray &value) {
    using namespace telnet;
    if (code == SetControl + kServerOffset) {
        controlsUnanswered_ = 0;
        return;
    }
    // Answers that are not what the option allows are not answers.
    const std::optional<SettingAnswer> answer = setting_answer(code, value);
    if (!answer || !(awaited_ & bit(answer->asked))) return;
    switch (answer->asked) {
    case SetBaudRate:
        kept_.rate = qint32(answer->value);
        break;
    case SetDataSize:
        kept_.dataBits = QSerialPort::DataBits(answer->value);
        break;
    case SetParity:
        kept_.parity = parity_of(quint8(answer->value)).value_or(kept_.parity);
        break;
    default:
        kept_.stopBits = stop_of(quint8(answer->value)).value_or(kept_.stopBits);
        break;
    }
    awaited_ &= ~bit(answer->asked);
    if (awaited_ == 0) settled();
}

void NetSerialPort::sendSettings() {
    using namespace telnet;
    // Settings the server has already read back on this connection need no
    // wait: it applies them before what follows, and the answers are still
    // checked. Waiting would also cost a server with Nagle's algorithm on a
    // delayed acknowledgement (40 ms) for each TEST.
    if (!(state_ == State::Ready && settings_ == confirmed_)) state_ = State::Settling;
    awaited_ = kAllSettings;
    kept_ = settings_;
    answerTimer_.start();
    socket_.write(comPort(SetBaudRate, be32(quint32(settings_.rate))) +
                  comPort(SetDataSize, QByteArray(1, char(settings_.dataBits))) +
                  comPort(SetParity, QByteArray(1, char(parity_code(settings_.parity)))) +
                  comPort(SetStopSize, QByteArray(1, char(stop_code(settings_.stopBits)))));
    // Emptied before this connection could say so: the server's buffers may
    // hold what its line received before the settings.
    for (const quint8 which : {kPurgeTransmit, kPurgeReceive})
        if (purgeDue_ & (1u << which)) purge(which);
    purgeDue_ = 0;
}

void NetSerialPort::settled() {
    answerTimer_.stop();
    if (telnet() && !settings_held(settings_, kept_)) {
        // Nothing may go out on a line other than the box says.
        error_ = {PortError::SettingsNotHeld, number_, name_};
        error_.name = name_;
        error_.asked = settings_;
        error_.kept = kept_;
        const PortError e = error_;
        confirmed_ = {};
        close();
        emit readyChanged();
        emit failed(e);
        return;
    }
    confirmed_ = settings_;
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
