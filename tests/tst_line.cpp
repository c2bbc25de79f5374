// The line's two judgements, without a device: when everything written has
// left the port, and whether a device holds the settings it was asked for.
#include "drain.h"
#include "settings.h"

#include <QtTest>
#include <algorithm>
#include <termios.h>

namespace {

// A transmitter with room for `depth` characters (a UART's FIFO, a USB
// adapter's buffer) behind the driver's queue. Characters go out back to back,
// each `charNs` long, from `latency` after their write (a USB adapter sends
// from the next bus frame); a UART's driver refills an emptied FIFO `gap` late
// (interrupt latency), so the wire time alone would be too short. The driver
// counts a character until it has gone into that room, and a USB adapter's
// driver counts it until the adapter took it, `latency` after the write.
class Transmitter {
public:
    Transmitter(double charNs, int depth, double latency, double gap)
        : charNs_(charNs), depth_(depth), latency_(latency), gap_(gap) {}
    // The driver keeps the last `n` characters of the next write until `until`
    // (a device that stalls): they stay counted as queued, then go out.
    void hold(int n, double until) {
        held_ = n;
        heldUntil_ = until;
    }
    void write(double t, int n) {
        for (int i = 0; i < n; ++i) {
            const qsizetype k = ends_.size();
            const bool held = i >= n - held_;
            const double refill = k > 0 && k % depth_ == 0 ? gap_ : 0;
            double start =
                ends_.empty() ? t + latency_ : std::max(t + latency_, ends_.back() + refill);
            double enter = (k < depth_ ? t : std::max(t, ends_[k - depth_])) + latency_;
            if (held) {
                enter = std::max(enter, heldUntil_);
                start = std::max(start, heldUntil_ + latency_);
            }
            enters_.append(enter);
            ends_.append(start + charNs_);
        }
        held_ = 0;
    }
    qint64 queued(double t) const {
        return std::count_if(enters_.begin(), enters_.end(), [t](double e) { return e > t; });
    }
    bool empty(double t) const { return ends_.isEmpty() || ends_.back() <= t; }
    double lastEnd() const { return ends_.back(); }

private:
    double charNs_;
    int depth_;
    double latency_, gap_;
    int held_ = 0;
    double heldUntil_ = 0;
    QList<double> enters_, ends_;
};

} // namespace

class TestLine : public QObject {
    Q_OBJECT
private slots:
    void releaseAfterTheLastCharacter_data();
    void releaseAfterTheLastCharacter();
    void characterTime_data();
    void characterTime();
    void settingsReadBack_data();
    void settingsReadBack();
};

void TestLine::releaseAfterTheLastCharacter_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("bits"); // per character on the wire, counted by hand
    QTest::addColumn<int>("chars");
    QTest::addColumn<int>("laterChars"); // a second write half-way (AT during a TEST)
    QTest::addColumn<bool>("lsr");
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("held"); // characters the driver keeps long past their wire time
    const struct {
        const char *format;
        int bits;
    } formats[] = {{"n,8,2", 11}, {"e,7,1", 10}, {"o,8,2", 12}, {"m,5,1.5", 9}, {"s,6,1", 9}};
    for (int rate : {1200, 2400, 4800, 9600, 19200, 38400, 56000})
        for (const auto &f : formats)
            for (int chars : {1, 11, 64})
                for (int later : {0, 16})
                    for (bool lsr : {true, false}) {
                        // A UART answers the empty bit and holds 16; a USB adapter
                        // answers nothing and holds 64.
                        const int depth = lsr ? 16 : 64;
                        const QString s = QStringLiteral("%1,%2").arg(rate).arg(f.format);
                        QTest::addRow("%s %d+%d %s", qPrintable(s), chars, later,
                                      lsr ? "LSR" : "no LSR")
                            << s << f.bits << chars << later << lsr << depth << 0;
                    }
    // The driver holds 1 to 4 characters 50 ms past the wire time of the
    // write, and nothing answers whether the transmitter is empty: the queue
    // count alone tells that they have not gone yet.
    for (int held = 1; held <= 4; ++held)
        QTest::addRow("9600,n,8,2 11+0 no LSR, %d held in the driver", held)
            << QStringLiteral("9600,n,8,2") << 11 << 11 << 0 << false << 64 << held;
}

void TestLine::releaseAfterTheLastCharacter() {
    QFETCH(QString, settings);
    QFETCH(int, bits);
    QFETCH(int, chars);
    QFETCH(int, laterChars);
    QFETCH(bool, lsr);
    QFETCH(int, depth);
    QFETCH(int, held);
    const std::optional<LineSettings> s = parse_settings(settings);
    QVERIFY(s);
    const double charNs = bits * 1e9 / s->rate;
    const double latency = lsr ? 0 : 0.9e6;
    Transmitter tx(charNs, depth, latency, lsr ? 0.3e6 : 0);
    qint64 now = 1'000'000'000;
    SendDrain drain([&now] { return now; }, {[&] { return tx.queued(double(now)); },
                                             [&]() -> std::optional<bool> {
                                                 if (!lsr) return std::nullopt;
                                                 return tx.empty(double(now));
                                             }});
    drain.setPace(s->rate, bits_per_char(*s));

    if (held) tx.hold(held, double(now) + chars * charNs + 50e6);
    tx.write(double(now), chars);
    drain.written(chars);
    qint64 laterAt = laterChars ? now + qint64(chars * charNs / 2) : -1;
    // Looked at when the decision asks, and after a write.
    std::optional<qint64> release;
    for (int looks = 0; looks < 100000 && !release; ++looks) {
        const std::optional<qint64> next = drain.check();
        if (!next) {
            release = now;
            break;
        }
        QVERIFY(*next > 0);
        if (laterAt >= 0 && now + *next >= laterAt) {
            now = laterAt;
            tx.write(double(now), laterChars);
            drain.written(laterChars);
            laterAt = -1;
        } else {
            now += *next;
        }
    }
    QVERIFY(release);
    QVERIFY(laterAt < 0);
    const double late = double(*release) - tx.lastEnd();
    // Never before the last stop bit. After it: where the empty bit is
    // answered, one look at most; else the margin (one character, but 1 ms at
    // least and 2 ms at most); and where the driver still counted characters
    // at the end of their wire time (held, or a USB adapter not yet past its
    // latency), one look of the queue more.
    QVERIFY2(late >= 0, qPrintable(QStringLiteral("%1 µs early").arg(-late / 1e3)));
    const double margin = std::clamp(charNs, 1e6, 2e6);
    const bool counted = held || chars * charNs < latency;
    const double bound = (lsr ? 0.1e6 : margin) + (counted ? 1e6 : 0) + 1e3;
    QVERIFY2(late <= bound, qPrintable(QStringLiteral("%1 µs late").arg(late / 1e3)));
}

void TestLine::characterTime_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<qint64>("ns"); // counted by hand
    QTest::newRow("9600,n,8,2: 11 bits") << "9600,n,8,2" << qint64(1'145'834);
    QTest::newRow("1200,e,7,1: 10 bits") << "1200,e,7,1" << qint64(8'333'334);
    // 1.5 stop bits count as 2: 1 + 5 + 1 + 2.
    QTest::newRow("1200,m,5,1.5: 9 bits") << "1200,m,5,1.5" << qint64(7'500'000);
    QTest::newRow("56000,o,8,1.5: 12 bits") << "56000,o,8,1.5" << qint64(214'286);
}

// One character time for the release and the simulator's pacing (char_ns).
void TestLine::characterTime() {
    QFETCH(QString, settings);
    QFETCH(qint64, ns);
    const std::optional<LineSettings> s = parse_settings(settings);
    QVERIFY(s);
    QCOMPARE(char_ns(*s), ns);
    SendDrain drain([] { return qint64(0); },
                    {[] { return qint64(0); }, [] { return std::nullopt; }});
    drain.setPace(s->rate, bits_per_char(*s));
    QCOMPARE(drain.charNs(), ns);
}

void TestLine::settingsReadBack_data() {
    QTest::addColumn<QString>("asked");
    QTest::addColumn<quint32>("speed");
    QTest::addColumn<quint32>("cflag");
    QTest::addColumn<QString>("kept");
    QTest::addColumn<bool>("held");
    const quint32 base = CREAD | CLOCAL;
    QTest::newRow("keeps 8N1 when asked 7E1")
        << "9600,e,7,1" << 9600u << (base | CS8) << "9600,n,8,1" << false;
    QTest::newRow("default held") << "9600,n,8,2" << 9600u << (base | CS8 | CSTOPB) << "9600,n,8,2"
                                  << true;
    QTest::newRow("custom rate held")
        << "56000,n,8,2" << 56000u << (base | CS8 | CSTOPB) << "56000,n,8,2" << true;
    QTest::newRow("rate rounded") << "56000,n,8,2" << 57600u << (base | CS8 | CSTOPB)
                                  << "57600,n,8,2" << false;
    QTest::newRow("odd held") << "4800,o,8,1" << 4800u << (base | CS8 | PARENB | PARODD)
                              << "4800,o,8,1" << true;
    QTest::newRow("odd kept even")
        << "4800,o,8,1" << 4800u << (base | CS8 | PARENB) << "4800,e,8,1" << false;
    QTest::newRow("mark held") << "9600,m,8,1" << 9600u << (base | CS8 | PARENB | PARODD | CMSPAR)
                               << "9600,m,8,1" << true;
    QTest::newRow("space held") << "9600,s,7,1" << 9600u << (base | CS7 | PARENB | CMSPAR)
                                << "9600,s,7,1" << true;
    QTest::newRow("space kept even")
        << "9600,s,7,1" << 9600u << (base | CS7 | PARENB) << "9600,e,7,1" << false;
    QTest::newRow("six data bits") << "1200,n,6,1" << 1200u << (base | CS6) << "1200,n,6,1" << true;
    QTest::newRow("two stop bits dropped")
        << "9600,n,8,2" << 9600u << (base | CS8) << "9600,n,8,1" << false;
    QTest::newRow("1.5 with five data bits")
        << "9600,n,5,1.5" << 9600u << (base | CS5 | CSTOPB) << "9600,n,5,1.5" << true;
    // Only five data bits have 1.5 stop bits; otherwise two, read as one all the same.
    QTest::newRow("1.5 sent as 2")
        << "9600,n,8,1.5" << 9600u << (base | CS8 | CSTOPB) << "9600,n,8,2" << true;
    QTest::newRow("1.5 kept as 1")
        << "9600,n,8,1.5" << 9600u << (base | CS8) << "9600,n,8,1" << false;
}

void TestLine::settingsReadBack() {
    QFETCH(QString, asked);
    QFETCH(quint32, speed);
    QFETCH(quint32, cflag);
    QFETCH(QString, kept);
    QFETCH(bool, held);
    const LineSettings got = settings_of({speed, cflag});
    QCOMPARE(got, *parse_settings(kept));
    QCOMPARE(settings_held(*parse_settings(asked), got), held);
}

QTEST_GUILESS_MAIN(TestLine)
#include "tst_line.moc"
