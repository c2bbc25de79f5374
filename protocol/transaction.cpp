#include "transaction.h"

#include "controls.h"
#include "preparation.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcTransaction, "kestrova.transaction", QtInfoMsg)

namespace {

const char *kind_name(CommResult::Kind k) {
    static const char *const names[] = {"no verdict", "OK", "ERR", "ACK", "NAK"};
    return names[int(k)];
}

} // namespace

TestOutcome Transaction::test(const Selection &sel) {
    using namespace ctl;
    if (wait_.running()) return TestOutcome::busy();
    // Composed before the port is touched: a frame with no defined form on the
    // line is refused without opening, showing or sending anything.
    QByteArray frame;
    if (auto refusal = compose_frame(sel, frame)) return {TestOutcome::Refused, *refusal, {}};
    if (!session_.prepare(sel.port, sel.settings, sel.signal,
                          keepPort_ ? KeepPolicy::Run : KeepPolicy::Console))
        return {TestOutcome::PortFailed, {}, session_.lastError()};
    SerialPort &port = session_.port();
    sendbuf_ = frame;
    readRequest_ = sel.function == fn::readPv() || sel.function == fn::readParameter();
    requestHead_ = request_head(sendbuf_);
    trs_.insert(sendbuf_ + CR + LF);
    recbuf_.clear();
    progress_ = 0;
    wait_.start();
    clock_.start();
    qCDebug(lcTransaction) << "TEST" << sel.port << sel.settings << sel.signal
                           << request().toHex(' ');
    raise(port, sel.signal);
    port.output(request());
    return TestOutcome::sent();
}

QByteArray Transaction::request() const {
    return sendbuf_ + ctl::ETX;
}

CommResult Transaction::comm(int code, const QString &model) {
    if (code == SerialPort::EvReceive) return receive(model);
    // Code 1 finds the direction line already back at the level the raise
    // named: the port set it the moment the frame had left the wire.
    if (code == SerialPort::EvSend)
        qCDebug(lcTransaction, "sent, line released, at %.3f ms", sinceTest());
    return {};
}

CommResult Transaction::receive(const QString &model) {
    using namespace ctl;
    CommResult r;
    const bool waiting = wait_.running();
    const QByteArray batch = session_.port().input();
    recbuf_.append(batch);
    if (!batch.isEmpty()) rec_.insert(batch);
    const char marker = model == concentratorModel() ? DC4 : STX;
    if (ownOnly_ && waiting && batch.contains(ETB)) takeStrays(marker, r.strays);
    if (batch.contains(ETB) && recbuf_.frameEnd() >= 0) {
        wait_.stop();
        if (const auto check = recbuf_.check(marker)) {
            rec_.insert((check->ok ? "OK SUM=" : "ERR SUM=") + check->shown + CR + LF);
            r.kind = check->ok ? CommResult::Kind::Ok : CommResult::Kind::Err;
            r.sum = check->shown;
            if (check->ok && readRequest_) r.value = recbuf_.value();
        }
    }
    if (recbuf_.hasAck()) {
        wait_.stop();
        rec_.insert(QByteArrayLiteral("ACK\r\n"));
        if (r.kind == CommResult::Kind::None) r.kind = CommResult::Kind::Ack;
    }
    if (recbuf_.hasNak()) {
        wait_.stop();
        rec_.insert(QByteArrayLiteral("NAK\r\n"));
        if (r.kind == CommResult::Kind::None || r.kind == CommResult::Kind::Ack)
            r.kind = CommResult::Kind::Nak;
    }
    r.endedWait = waiting && !wait_.running();
    if (r.endedWait)
        qCDebug(lcTransaction, "reception at %.3f ms: %lld bytes, %s %s", sinceTest(),
                qlonglong(recbuf_.size()), kind_name(r.kind), r.sum.constData());
    return r;
}

// Frames that name another address are taken out, so that what follows them
// is judged as if they had never come.
void Transaction::takeStrays(char marker, QList<CommResult::Stray> &strays) {
    while (recbuf_.frameEnd() >= 0) {
        // Only a frame whose sum holds can be trusted to name its sender.
        const auto head = recbuf_.head(marker);
        const auto check = recbuf_.check(marker);
        if (!head || !requestHead_ || !check || !check->ok) return;
        const bool ours = head->address == requestHead_->address &&
                          head->channel == requestHead_->channel &&
                          (marker != ctl::DC4 || head->concentrator == requestHead_->concentrator);
        if (ours) return;
        qCDebug(lcTransaction, "stray reply at %.3f ms from %s/%s", sinceTest(),
                head->address.constData(), head->channel.constData());
        const qsizetype end = recbuf_.frameEnd() + 1;
        strays << CommResult::Stray{*head, recbuf_.text().left(end)};
        const QByteArray rest = recbuf_.text().mid(end);
        recbuf_.clear();
        recbuf_.append(rest);
    }
}

std::optional<QString> Transaction::tick() {
    const RulerTick t = ruler_tick(progress_);
    if (t.timeout) {
        expire();
        return std::nullopt;
    }
    return t.ruler;
}

void Transaction::expire() {
    qCDebug(lcTransaction, "time-out at %.3f ms, %lld bytes received", sinceTest(),
            qlonglong(recbuf_.size()));
    wait_.stop();
    rec_.insert(QByteArrayLiteral("\r\n"));
}
