// Cost of one receive event as recbuf and the receive window grow: 20 MB in
// 4 KiB batches through the real window's reception path (offscreen), with a
// reply-like ETB now and then. Prints the median event cost in the first and
// the last megabyte and their ratio.
#include "fakeserialport.h"
#include "form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qint64 total = argc > 1 ? QByteArray(argv[1]).toLongLong() << 20 : qint64(20) << 20;
    constexpr int kBatch = 4096;

    FakeSerialPort port;
    Form1 w(&port);
    w.Combo4->setEditText("PM-01");
    w.show();
    w.cmdtest_Click();

    // Device chatter: printable text with a reply (STX ... sum ETB) every 64 KiB.
    QByteArray chatter(kBatch, 'x');
    for (int i = 0; i < kBatch; i += 61)
        chatter[i] = char('a' + i % 26);
    const QByteArray reply("\x02"
                           "0010123.4"
                           "00443"
                           "\x17");

    std::vector<double> first, last;
    QElapsedTimer t;
    const qint64 batches = total / kBatch;
    const qint64 perMb = (1 << 20) / kBatch;
    for (qint64 b = 0; b < batches; ++b) {
        QByteArray batch = chatter;
        if (b % 16 == 0) batch.replace(100, reply.size(), reply);
        t.start();
        port.receive(batch);
        const double us = t.nsecsElapsed() / 1000.0;
        if (b < perMb)
            first.push_back(us);
        else if (b >= batches - perMb)
            last.push_back(us);
        if (b % 64 == 0) QCoreApplication::processEvents(); // let the window paint now and then
    }
    const double m1 = median(first), m2 = median(last);
    std::printf("received %lld MiB in %d-byte batches; recbuf %lld bytes, rec %lld characters\n",
                total >> 20, kBatch, qint64(w.st.recbuf.size()),
                qint64(w.rec->document()->characterCount()));
    std::printf("median receive event: first MiB %.1f us, last MiB %.1f us, ratio %.2f\n", m1, m2,
                m2 / m1);
    std::printf("goal: ratio <= 1.5 and median < 1000 us: %s\n",
                (m2 / m1 <= 1.5 && m2 < 1000) ? "met" : "NOT met");
    return 0;
}
