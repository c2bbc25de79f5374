#include "transaction.h"

#include "controls.h"
#include "preparation.h"

TestOutcome Transaction::test(const Selection &sel) {
    using namespace ctl;
    if (wait_.running()) return TestOutcome::busy();
    // Composed before the port is touched: a frame with no defined form on the
    // line is refused without opening, showing or sending anything.
    QByteArray frame;
    if (auto refusal = compose_frame(sel, frame)) return {TestOutcome::Refused, *refusal, {}};
    if (!test_preparation(port_, sel.port, sel.settings, sel.signal))
        return {TestOutcome::PortFailed, {}, port_.lastError()};
    sendbuf_ = frame;
    trs_.insert(sendbuf_ + CR + LF);
    recbuf_.clear();
    progress_ = 0;
    wait_.start();
    raise(port_, sel.signal);
    port_.output(sendbuf_ + ETX);
    return TestOutcome::sent();
}

CommResult Transaction::comm(int code, const QString &model) {
    // Code 1 finds the direction line already back at the level the raise
    // named: the port set it the moment the frame had left the wire.
    if (code == 2) return receive(model);
    return {};
}

CommResult Transaction::receive(const QString &model) {
    using namespace ctl;
    CommResult r;
    const bool waiting = wait_.running();
    r.batch = port_.input();
    recbuf_.append(r.batch);
    if (!r.batch.isEmpty()) rec_.insert(r.batch);
    if (r.batch.contains(ETB)) {
        wait_.stop();
        r.verdict = recbuf_.verdict(model == concentratorModel() ? DC4 : STX);
        if (r.verdict) rec_.insert(*r.verdict);
    }
    if (recbuf_.hasAck()) {
        wait_.stop();
        rec_.insert(QByteArrayLiteral("ACK\r\n"));
        r.ack = true;
    }
    if (recbuf_.hasNak()) {
        wait_.stop();
        rec_.insert(QByteArrayLiteral("NAK\r\n"));
        r.nak = true;
    }
    r.endedWait = waiting && !wait_.running();
    return r;
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
    wait_.stop();
    rec_.insert(QByteArrayLiteral("\r\n"));
}
