#include "fakeserialport.h"

#include "settings.h"

bool FakeSerialPort::setPortOpen(bool open) {
    if (open && failKind_ != PortError::None) {
        error_ = {failKind_, number_, fakePath(), failReason_};
        failKind_ = PortError::None;
        log << QStringLiteral("open failed");
        return false;
    }
    open_ = open;
    opens += open;
    openedOn = open ? fakePath() : QString();
    log << (open ? QStringLiteral("open") : QStringLiteral("close"));
    return true;
}

void FakeSerialPort::setPortNumber(int n) {
    number_ = n;
    log << QStringLiteral("port %1").arg(n);
}

bool FakeSerialPort::setSettings(const QString &settings) {
    log << QStringLiteral("settings ") + settings;
    if (!parse_settings(settings)) {
        error_ = {PortError::Settings, number_, fakePath(), settings};
        return false;
    }
    settingsInEffect = settings;
    return true;
}

void FakeSerialPort::discardOutput() {
    unsent.clear();
    log << QStringLiteral("discard out");
}

void FakeSerialPort::discardInput() {
    pending_.clear();
    log << QStringLiteral("discard in");
}

void FakeSerialPort::setPortText(const QString &text) {
    if (const PortText t = port_text_of(text); t.kind == PortText::Com) setPortNumber(t.number);
}

void FakeSerialPort::writeData(const QByteArray &bytes) {
    if (open_) line << LineWrite{bytes, openedOn, settingsInEffect, rts, dtr};
    writes << bytes;
    log << QStringLiteral("output ") + QString::fromLatin1(bytes.toHex(' '));
}

QByteArray FakeSerialPort::readData() {
    QByteArray batch;
    batch.swap(pending_);
    return batch;
}

void FakeSerialPort::setRts(bool on) {
    rts = on;
    log << QStringLiteral("rts %1").arg(on ? 1 : 0);
}

void FakeSerialPort::setDtr(bool on) {
    dtr = on;
    log << QStringLiteral("dtr %1").arg(on ? 1 : 0);
}

bool FakeSerialPort::setRs485(bool on) {
    if (on != rs485) log << QStringLiteral("rs485 %1").arg(on ? 1 : 0);
    rs485 = on;
    return true;
}

void FakeSerialPort::deliver(int code) {
    if (code == 1 && release_) {
        if (release_->line == LineLevel::Rts)
            setRts(release_->on);
        else
            setDtr(release_->on);
    }
    emit comm(code);
}

void FakeSerialPort::receive(const QByteArray &batch) {
    pending_ += batch;
    emit comm(2);
}

void FakeSerialPort::failNextOpen(PortError::Kind kind, const QString &reason) {
    failKind_ = kind;
    failReason_ = reason;
}

void FakeSerialPort::breakDown(const QString &reason) {
    open_ = false;
    error_ = {PortError::Io, number_, fakePath(), reason};
    log << QStringLiteral("broken");
    emit failed(error_);
}
