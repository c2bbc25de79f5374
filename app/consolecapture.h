#pragma once

#include "capture.h"

#include <QObject>

class PortSession;

// The console's traffic as a capture for Wireshark: each frame sent is one
// packet, with the direction line's level at the write; what came back for
// it is one packet, written when the TEST's wait ends (or at the next write,
// or the stop, for bytes that came outside a wait; a flood is cut into
// packets of kMaxPacketBytes). On a write error the
// capture stops and failed() is sent once; the console carries on.
class ConsoleCapture : public QObject {
    Q_OBJECT
public:
    // Received bytes are written once this many wait, whatever the TEST.
    static constexpr int kMaxPacketBytes = 16384;

    ConsoleCapture(PortSession &port, int timeoutMs, QObject *parent = nullptr);

    // False if the file cannot be made (failed() has been sent).
    bool start(const QString &path);
    void stop();
    bool isOpen() const { return file_.isOpen(); }
    QString path() const { return file_.path(); }

    // The TEST's wait is over.
    void ended();

signals:
    void failed(const QString &path, const QString &reason);
    void stateChanged();

private:
    void sent(const QByteArray &bytes);
    void received(const QByteArray &batch);
    void write(CaptureRecord r);
    void flush();

    PortSession &port_;
    int timeoutMs_;
    CaptureFile file_;
    QByteArray pending_;    // received since the last packet
    qint64 firstNs_ = 0;    // of pending_
    qint64 lastNs_ = 0;     // of pending_'s last batch
    qint64 lastEndNs_ = -1; // of the last packet written
};
