#include "consolecapture.h"

#include "clock.h"
#include "portsession.h"

ConsoleCapture::ConsoleCapture(PortSession &port, int timeoutMs, QObject *parent)
    : QObject(parent), port_(port), timeoutMs_(timeoutMs) {
    connect(&port_, &PortSession::sent, this, &ConsoleCapture::sent);
    connect(&port_, &PortSession::received, this, &ConsoleCapture::received);
}

bool ConsoleCapture::start(const QString &path) {
    stop();
    QString reason;
    if (!file_.open(path, &reason)) {
        emit failed(path, reason);
        return false;
    }
    lastEndNs_ = -1;
    emit stateChanged();
    return true;
}

void ConsoleCapture::stop() {
    if (!file_.isOpen()) return;
    flush();
    file_.close();
    pending_.clear();
    emit stateChanged();
}

void ConsoleCapture::ended() {
    flush();
}

void ConsoleCapture::sent(const QByteArray &bytes) {
    if (!file_.isOpen()) return;
    flush(); // what came before belongs to the frame before
    CaptureRecord r;
    r.wallNs = wall_ns();
    r.direction = CaptureRecord::Sent;
    if (const auto level = port_.port().levelAtWrite()) {
        r.line = level->line == LineLevel::Rts ? CaptureRecord::Rts : CaptureRecord::Dtr;
        r.level = level->on;
    }
    r.bytes = bytes;
    write(r);
}

void ConsoleCapture::received(const QByteArray &batch) {
    if (!file_.isOpen()) return;
    const qint64 now = wall_ns();
    if (pending_.isEmpty()) firstNs_ = now;
    lastNs_ = now;
    pending_ += batch;
    // Text that floods in outside a TEST is not held without end.
    if (pending_.size() >= kMaxPacketBytes) flush();
}

void ConsoleCapture::flush() {
    if (pending_.isEmpty() || !file_.isOpen()) return;
    CaptureRecord r;
    r.wallNs = firstNs_;
    r.direction = CaptureRecord::Received;
    r.spanUs = (lastNs_ - firstNs_) / 1000;
    r.bytes = std::exchange(pending_, {});
    write(r);
}

void ConsoleCapture::write(CaptureRecord r) {
    r.gapUs = lastEndNs_ < 0 ? -1 : (r.wallNs - lastEndNs_) / 1000;
    r.timeoutMs = timeoutMs_;
    lastEndNs_ = r.wallNs + r.spanUs * 1000;
    QString reason;
    const QString path = file_.path();
    if (!file_.write(r, &reason)) {
        pending_.clear();
        emit failed(path, reason);
        emit stateChanged();
    }
}
