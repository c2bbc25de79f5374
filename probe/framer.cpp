#include "framer.h"

#include "controls.h"

#include <algorithm>

namespace {

bool opens_request(char b) {
    return b == ctl::DC1 || b == ctl::DC2 || b == ctl::DC3;
}

// A byte that opens or is a unit of its own, wherever it comes.
bool starts_unit(char b) {
    return opens_request(b) || b == ctl::DC4 || b == ctl::STX || b == ctl::ACK || b == ctl::NAK;
}

} // namespace

void Framer::emitUnit(WireUnit::Kind kind, QList<WireUnit> &out) {
    open_.kind = kind;
    out.append(open_);
    open_ = {};
    state_ = State::Idle;
}

void Framer::add(char byte, qint64 endNs) {
    open_.longestGapNs = std::max(open_.longestGapNs, endNs - charNs_ - open_.endNs);
    open_.bytes += byte;
    open_.endNs = endNs;
}

void Framer::start(char byte, qint64 endNs) {
    open_ = {};
    open_.bytes += byte;
    open_.startNs = endNs - charNs_;
    open_.endNs = endNs;
    open_.gapBeforeNs = lastEnd_ < 0 ? -1 : std::max<qint64>(0, open_.startNs - lastEnd_);
    if (opens_request(byte))
        state_ = State::Request;
    else if (byte == ctl::DC4)
        state_ = State::Prefix;
    else if (byte == ctl::STX)
        state_ = State::Reply;
    else
        state_ = State::Junk;
}

void Framer::feed(char byte, qint64 endNs, QList<WireUnit> &out) {
    if (state_ != State::Idle && endNs - charNs_ - lastEnd_ >= gapNs_) flush(out);
    // Where the open unit cannot go on, it ends as it is and the byte begins anew.
    bool restart = false;
    switch (state_) {
    case State::Idle:
        restart = true;
        break;
    case State::Junk:
        if (starts_unit(byte))
            flush(out), restart = true;
        else
            add(byte, endNs);
        break;
    case State::Prefix:
        if (open_.bytes.size() < 3 && uchar(byte) >= 0x20) {
            add(byte, endNs);
        } else if (open_.bytes.size() == 3 && (opens_request(byte) || byte == ctl::STX)) {
            add(byte, endNs);
            state_ = byte == ctl::STX ? State::Reply : State::Request;
        } else if (starts_unit(byte)) {
            flush(out), restart = true;
        } else {
            add(byte, endNs);
            state_ = State::Junk;
        }
        break;
    case State::Request:
        if (byte == ctl::ETX) {
            add(byte, endNs);
            state_ = State::RequestEnded;
        } else if (starts_unit(byte) || byte == ctl::ETB) {
            flush(out), restart = true;
        } else {
            add(byte, endNs);
        }
        break;
    case State::RequestEnded:
        if (byte == ctl::ETX) {
            add(byte, endNs);
            emitUnit(WireUnit::Request, out);
        } else {
            flush(out), restart = true;
        }
        break;
    case State::Reply:
        if (byte == ctl::ETB) {
            add(byte, endNs);
            emitUnit(WireUnit::Reply, out);
        } else if (starts_unit(byte)) {
            flush(out), restart = true;
        } else {
            add(byte, endNs);
        }
        break;
    }
    if (restart) {
        start(byte, endNs);
        if (byte == ctl::ACK || byte == ctl::NAK)
            emitUnit(byte == ctl::ACK ? WireUnit::Ack : WireUnit::Nak, out);
    }
    lastEnd_ = endNs;
    if (state_ != State::Idle && open_.bytes.size() >= kMaxUnit) emitUnit(WireUnit::Unframed, out);
}

void Framer::idle(qint64 nowNs, QList<WireUnit> &out) {
    if (state_ != State::Idle && nowNs - lastEnd_ >= gapNs_) flush(out);
}

void Framer::flush(QList<WireUnit> &out) {
    if (state_ == State::Idle) return;
    emitUnit(state_ == State::RequestEnded ? WireUnit::Request : WireUnit::Unframed, out);
}
