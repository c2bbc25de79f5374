#include "qtserialport.h"

#include "log.h"
#include "porttext.h"

#include <QFileInfo>

#include <cerrno>
#include <utility>

// Debug lines (the release thread's scheduling) only on request: kestrova.serial.debug=true.
Q_LOGGING_CATEGORY(lcSerial, "kestrova.serial", QtInfoMsg)

namespace {

// What the system says about the device, beside Qt's error code.
struct SystemView {
    bool exists = true;
    bool accessible = true;
    bool hungUp = false;
};

enum class Step { Open, Traffic }; // opening; reading or writing

// The one place where Qt's error code and the system's view become a kind.
PortError::Kind error_kind(Step step, QSerialPort::SerialPortError e, const SystemView &s) {
    switch (step) {
    case Step::Open:
        if (e == QSerialPort::DeviceNotFoundError || !s.exists) return PortError::NotFound;
        // Qt reports a port held by another program (its lock) as a permission
        // error too; the file's own permissions tell the two apart.
        if (e == QSerialPort::PermissionError)
            return s.accessible ? PortError::Busy : PortError::Permission;
        return PortError::Io;
    case Step::Traffic:
        // A hung-up terminal reads as end of file, and Qt then reports whatever
        // errno an earlier call left behind; the descriptor itself knows.
        if (s.hungUp) return PortError::HungUp;
        if (!s.exists) return PortError::Removed;
        return PortError::Io;
    }
    return PortError::Io;
}

const char *line_name(LineLevel::Line line) {
    return line == LineLevel::Rts ? "RTS" : "DTR";
}

} // namespace

// Errors that QSerialPort signals during one of our own calls belong to that
// call, which reads and clears them; the state comes back as it was.
class QtSerialPort::Calling {
public:
    explicit Calling(State &state) : state_(state), saved_(state) { state_ = State::Calling; }
    ~Calling() { state_ = saved_; }
    Calling(const Calling &) = delete;
    Calling &operator=(const Calling &) = delete;

private:
    State &state_;
    State saved_;
};

QtSerialPort::QtSerialPort(PortMap map, QObject *parent)
    : QtSerialPort(std::move(map), std::make_unique<DeviceAnswers>(), parent) {}

QtSerialPort::QtSerialPort(PortMap map, std::unique_ptr<DeviceAnswers> answers, QObject *parent)
    : SerialPort(parent), map_(std::move(map)), answers_(std::move(answers)), port_(this),
      releaser_(*answers_, [this](const ReleaseLine::Outcome &o) {
          // From the line thread: the send event itself comes from the event loop.
          QMetaObject::invokeMethod(
              this, [this, o] { released(o); }, Qt::QueuedConnection);
      }) {
    connect(&port_, &QSerialPort::readyRead, this, [this] { emit comm(EvReceive); });
    connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialPort::onError);
}

QtSerialPort::~QtSerialPort() {
    releaser_.cancel();
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
        close();
        return true;
    }
    if (port_.isOpen()) return true;
    const QString path = device();
    // Qt locks the port by its name: a link must lock the device it points at.
    const QString real = QFileInfo(path).canonicalFilePath();
    port_.setPortName(real.isEmpty() ? path : real);
    bool ok = false;
    {
        Calling calling(state_);
        ok = port_.open(listenOnly_ ? QIODevice::ReadOnly : QIODevice::ReadWrite);
    }
    if (!ok) {
        const QSerialPort::SerialPortError e = port_.error();
        const QString reason = port_.errorString();
        port_.clearError();
        const SystemView view{answers_->exists(path), answers_->accessible(path)};
        PortError::Kind kind = error_kind(Step::Open, e, view);
        if (kind == PortError::Io && answers_->notSerial(path)) kind = PortError::NotSerial;
        fail(kind, reason);
        if (error_.kind == PortError::NotFound) error_.present = answers_->presentDevices();
        return false;
    }
    state_ = State::Open;
    driven_[0].reset();
    driven_[1].reset();
    ++opening_;
    if (listenOnly_) listenAtOpening();
    return applySettings(std::exchange(checkAtOpening_, false));
}

void QtSerialPort::setPortText(const QString &text) {
    const PortText t = port_text_of(text);
    if (t.kind == PortText::Com) {
        number_ = t.number;
        path_.clear();
    } else if (t.kind == PortText::Device) {
        path_ = text;
    } else {
        return;
    }
    name_ = text;
}

bool QtSerialPort::setSettings(const QString &settings) {
    const auto parsed = parse_settings(settings);
    if (!parsed) return fail(PortError::Settings, settings);
    settings_ = *parsed;
    // Given while closed, they take effect at the opening and are checked there.
    checkAtOpening_ = !port_.isOpen();
    return !port_.isOpen() || applySettings(true);
}

bool QtSerialPort::applySettings(bool check) {
    {
        // Whether each step took is read back below from the device itself.
        Calling calling(state_);
        port_.setBaudRate(settings_.rate);
        port_.setParity(settings_.parity);
        port_.setDataBits(settings_.dataBits);
        // termios knows no 1.5: two stop bits with five data bits are 1.5 on a UART.
        port_.setStopBits(settings_.stopBits == QSerialPort::OneAndHalfStop ? QSerialPort::TwoStop
                                                                            : settings_.stopBits);
        port_.clearError();
    }
    const int fd = port_.handle();
    const std::optional<TermiosAnswer> answer = answers_->lineSettings(fd);
    const QString why = answer ? QString() : qt_error_string(errno);
    const LineSettings kept = answer ? settings_of(*answer) : settings_;
    releaser_.setPace(kept.rate, bits_per_char(kept));
    // A pseudo-terminal has no wire to garble (it keeps 8 data bits without
    // parity whatever it is told): it takes whatever the box says.
    if (!check || answers_->pseudoTerminal(fd)) return true;
    if (!answer) {
        fail(PortError::Io, why);
        close();
        return false;
    }
    if (settings_held(settings_, kept)) return true;
    error_ = {PortError::SettingsNotHeld, number_, device()};
    error_.asked = settings_;
    error_.kept = kept;
    // Nothing may go out on a line other than the box says, an AT line either.
    close();
    return false;
}

void QtSerialPort::listenAtOpening() {
    // The system raised RTS and DTR at the open: the converter may be sending
    // on a bus another master drives. Back to receiving before anything else.
    if (hold_) driveLine(*hold_);
    const DeviceAnswers::LowLatency l = answers_->setLowLatency(port_.handle(), true);
    lowLatency_ = l != DeviceAnswers::LowLatency::Refused;
    lowLatencyOurs_ = l == DeviceAnswers::LowLatency::Set;
}

bool QtSerialPort::wire() const {
    return port_.isOpen() && !answers_->pseudoTerminal(port_.handle());
}

void QtSerialPort::close() {
    // A release still due is dropped with its send event, before the descriptor goes.
    releaser_.cancel();
    if (port_.isOpen() && std::exchange(lowLatencyOurs_, false))
        answers_->setLowLatency(port_.handle(), false);
    lowLatency_ = false;
    if (port_.isOpen()) {
        Calling calling(state_);
        port_.close();
        port_.clearError();
    }
    state_ = State::Closed;
}

void QtSerialPort::discardOutput() {
    if (!port_.isOpen()) return;
    releaser_.discard();
    port_.clear(QSerialPort::Output);
    // A send event still due stays due: what the hardware holds still goes out.
}

void QtSerialPort::discardInput() {
    if (port_.isOpen()) port_.clear(QSerialPort::Input);
}

void QtSerialPort::writeData(const QByteArray &bytes) {
    if (!port_.isOpen()) return;
    // Written by the line thread, which knows the moment the driver took
    // them. Every write ends with a release and a send event, an empty one
    // included.
    releaser_.send(port_.handle(), bytes, release_, opening_);
    if (release_) tellNoRealtime();
}

void QtSerialPort::tellNoRealtime() {
    // Once per process: the priority is the process's, whatever the port. A
    // pseudo-terminal has no line to release late.
    static bool told = false;
    if (told || releaser_.realtime().way != Realtime::None ||
        answers_->pseudoTerminal(port_.handle()))
        return;
    told = true;
    const PortError e{PortError::NoRealtime, number_, device(), releaser_.realtime().reason};
    QMetaObject::invokeMethod(
        this, [this, e] { emit lineFault(e); }, Qt::QueuedConnection);
}

QByteArray QtSerialPort::readData() {
    return port_.isOpen() ? port_.readAll() : QByteArray();
}

void QtSerialPort::released(const ReleaseLine::Outcome &o) {
    if (o.tag != opening_ || state_ != State::Open) return;
    if (o.writeError) {
        const SystemView view{answers_->exists(device()), true, answers_->hungUp(port_.handle())};
        error_ = {error_kind(Step::Traffic, QSerialPort::WriteError, view), number_, device(),
                  qt_error_string(o.writeError)};
        breakDown();
        return;
    }
    if (o.lineError)
        lineRefused(o.line, qt_error_string(o.lineError));
    else if (release_)
        driven_[release_->line] = release_->on;
    emit comm(EvSend);
}

void QtSerialPort::driveLine(LineLevel level) {
    if (!port_.isOpen()) return;
    if (answers_->setModemLine(port_.handle(), level)) {
        driven_[level.line] = level.on;
        return;
    }
    driven_[level.line].reset();
    lineRefused(level.line, qt_error_string(errno));
}

std::optional<LineLevel> QtSerialPort::directionLevel() const {
    if (!release_ || !driven_[release_->line]) return std::nullopt;
    return LineLevel{release_->line, *driven_[release_->line]};
}

void QtSerialPort::lineRefused(LineLevel::Line line, const QString &reason) {
    // Told once per device for the whole run, not at every raise and release.
    if (lineFaultsTold_.contains(device())) return;
    lineFaultsTold_.insert(device());
    if (answers_->pseudoTerminal(port_.handle())) {
        // No modem lines and no converter behind: the frame goes out all the same.
        // The system's reason (ENOTTY) would only say it in English.
        qCWarning(
            lcSerial,
            listenOnly_ ? "通讯口 %s 是伪终端，没有 %s 线，无需保持接收电平。"
                        : "通讯口 %s 是伪终端，没有 %s 线；照常发送。",
            qPrintable(name_ == device() ? name_ : name_ + QStringLiteral("（%1）").arg(device())),
            line_name(line));
        return;
    }
    PortError e{PortError::LineRefused, number_, device(), reason};
    e.line = QString::fromLatin1(line_name(line));
    QMetaObject::invokeMethod(
        this, [this, e] { emit lineFault(e); }, Qt::QueuedConnection);
}

void QtSerialPort::setRts(bool on) {
    driveLine({LineLevel::Rts, on});
}

void QtSerialPort::setDtr(bool on) {
    driveLine({LineLevel::Dtr, on});
}

bool QtSerialPort::setRs485(bool on) {
    if (!port_.isOpen()) return true;
    const int fd = port_.handle();
    const bool was = answers_->rs485(fd).value_or(false);
    if (on) {
        // One the board set up itself is left as it is, its delays included.
        if (was) return true;
        switch (answers_->setRs485(fd, true)) {
        case DeviceAnswers::Rs485Set::Held:
            rs485Ours_.insert(device());
            return true;
        case DeviceAnswers::Rs485Set::Refused:
            return fail(PortError::Rs485Refused, qt_error_string(errno));
        case DeviceAnswers::Rs485Set::NotHeld:
            // Like settings not held: nothing goes out on it, and it is put
            // back off, or the next RS485 row would take it for the board's own.
            answers_->setRs485(fd, false);
            return fail(PortError::Rs485NotHeld, {});
        }
    }
    if (!was) {
        rs485Ours_.remove(device());
        return true;
    }
    if (rs485Ours_.remove(device())) {
        if (answers_->setRs485(fd, false) == DeviceAnswers::Rs485Set::Held) return true;
        return fail(PortError::Io, qt_error_string(errno));
    }
    // Not ours (enabled at boot, or by another program): the driver drives
    // RTS whatever the row says. Said once per device.
    if (!rs485Told_.contains(device())) {
        rs485Told_.insert(device());
        const PortError e{PortError::Rs485Kept, number_, device()};
        QMetaObject::invokeMethod(
            this, [this, e] { emit lineFault(e); }, Qt::QueuedConnection);
    }
    return true;
}

void QtSerialPort::onError(QSerialPort::SerialPortError e) {
    if (state_ != State::Open || e == QSerialPort::NoError) return;
    if (e != QSerialPort::ResourceError && e != QSerialPort::ReadError &&
        e != QSerialPort::WriteError)
        return;
    state_ = State::Broken;
    const SystemView view{answers_->exists(device()), true, answers_->hungUp(port_.handle())};
    error_ = {error_kind(Step::Traffic, e, view), number_, device(), port_.errorString()};
    // Closing from inside QSerialPort's own notification is not safe; the
    // Broken state swallows the storm until the queued close runs. A TEST that
    // reopened the port meanwhile must not lose it to this close.
    QMetaObject::invokeMethod(
        this,
        [this, opening = opening_] {
            if (opening == opening_) breakDown();
        },
        Qt::QueuedConnection);
}

void QtSerialPort::breakDown() {
    close();
    emit failed(error_);
}
