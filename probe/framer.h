#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// What a listener on the bus makes of the characters it hears: frames by the
// protocol first (a request from DC1, DC2 or DC3, or DC4 and the concentrator
// address, to its ETX and the extra ETX; a reply from STX, or DC4 and the
// concentrator address, to ETB; ACK and NAK alone), then by idle gaps.
// Bytes that make no frame come out as Unframed, never dropped. Pure: every
// byte comes with the time its last bit ended, in nanoseconds.
struct WireUnit {
    enum Kind { Request, Reply, Ack, Nak, Unframed } kind = Unframed;
    QByteArray bytes;
    qint64 startNs = 0;      // the first byte's first bit
    qint64 endNs = 0;        // the last byte's last bit
    qint64 gapBeforeNs = -1; // idle line before it; -1 for the first unit heard
    qint64 longestGapNs = 0; // between two of its bytes
    bool operator==(const WireUnit &) const = default;
};

class Framer {
public:
    // Longer than any frame the console makes; a longer run is cut there.
    static constexpr qsizetype kMaxUnit = 512;

    Framer(qint64 charNs, qint64 gapNs) : charNs_(charNs), gapNs_(gapNs) {}

    // Bytes and the end time of each; units completed by them are appended to `out`.
    void feed(char byte, qint64 endNs, QList<WireUnit> &out);
    // The line has been quiet up to `nowNs`: a unit left open for a gap ends.
    void idle(qint64 nowNs, QList<WireUnit> &out);
    // Whatever is open ends now (the end of the input).
    void flush(QList<WireUnit> &out);

    qint64 charNs() const { return charNs_; }
    // The start of a unit still open, else `nowNs`: no time-out is judged
    // while the bytes that may answer it are still coming.
    qint64 heardUpTo(qint64 nowNs) const { return state_ == State::Idle ? nowNs : open_.startNs; }

private:
    enum class State { Idle, Junk, Prefix, Request, RequestEnded, Reply };
    void start(char byte, qint64 endNs);
    void add(char byte, qint64 endNs);
    void emitUnit(WireUnit::Kind kind, QList<WireUnit> &out);

    qint64 charNs_;
    qint64 gapNs_;
    State state_ = State::Idle;
    WireUnit open_;
    qint64 lastEnd_ = -1; // of the last byte heard
};
