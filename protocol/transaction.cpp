#include "transaction.h"

#include "controls.h"
#include "preparation.h"

TestOutcome test_transaction(FormState &st, Link &link, const Selection &sel) {
    using namespace ctl;
    if (link.Timer1.running()) return {};
    // Composed before the port is touched: a frame with no defined form on the
    // line is refused without opening, showing or sending anything.
    QByteArray frame;
    if (auto refusal = compose_frame(sel, frame)) return {TestOutcome::Refused, *refusal, {}};
    if (!test_preparation(link.MSComm1, sel.port, sel.settings))
        return {TestOutcome::PortFailed, {}, link.MSComm1.lastError()};
    st.sendbuf = frame;
    link.trs.insert(st.sendbuf + CR + LF);
    st.recbuf.clear();
    st.progress = 0;
    link.Timer1.start();
    raise(link.MSComm1, sel.signal);
    link.MSComm1.output(st.sendbuf + ETX);
    return {TestOutcome::Sent, {}, {}};
}

void reception(FormState &st, Link &link, const QString &model) {
    using namespace ctl;
    const QByteArray batch = link.MSComm1.input();
    st.recbuf.append(batch);
    if (!batch.isEmpty()) link.rec.insert(batch);
    if (batch.contains(ETB)) {
        link.Timer1.stop();
        if (const auto line = st.recbuf.verdict(model == concentratorModel() ? DC4 : STX))
            link.rec.insert(*line);
    }
    if (st.recbuf.hasAck()) {
        link.Timer1.stop();
        link.rec.insert(QByteArrayLiteral("ACK\r\n"));
    }
    if (st.recbuf.hasNak()) {
        link.Timer1.stop();
        link.rec.insert(QByteArrayLiteral("NAK\r\n"));
    }
}
