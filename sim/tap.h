#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <deque>

// A second pseudo-terminal on which the simulated bus is heard as a listening
// adapter hears it: each character is written when its last bit has left
// the wire (plus a fixed `latencyNs` for a bus whose characters are known
// only a moment later), so the gaps and the turnaround are the wire's.
// Bounded: a tap nobody reads loses characters, as a full line would.
class Tap : public QObject {
    Q_OBJECT
public:
    static constexpr size_t kMaxQueued = 64 * 1024;

    // `masterFd`: the pseudo-terminal's master, non-blocking.
    Tap(int masterFd, qint64 latencyNs, QObject *parent = nullptr);

    // Characters one after another from `startNs` (not before the last put
    // has ended: one wire); returns when the last one ends.
    qint64 put(qint64 startNs, const QByteArray &bytes, qint64 charNs);
    // One character that ended at `endNs`, heard in its place in time.
    void putAt(qint64 endNs, char byte);
    qint64 wireEnd() const { return wireEnd_; }

private:
    struct Char {
        qint64 end;
        char byte;
    };
    void pump();
    void schedule();

    int fd_;
    qint64 latencyNs_;
    qint64 wireEnd_ = 0;
    std::deque<Char> queue_; // by end time
    QTimer timer_;
};
