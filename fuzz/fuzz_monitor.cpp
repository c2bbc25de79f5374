// The monitor's framing and pairing over a random stream of bytes and quiet
// times, fed once whole and once in random splits (with the idle checks a
// running monitor makes between reads): both must give the same units and
// exchanges. And against the plain rules: every byte comes out in exactly one
// unit, in order; no unit is longer than the bound; a request runs from DC1,
// DC2, DC3 or DC4 to ETX, a reply from STX or DC4 to ETB, ACK and NAK alone.
//
// Input: pairs of bytes. The first of a pair: bits 0-3 the quiet time before
// the byte in half milliseconds, bit 4 a read boundary before it, bits 5-7
// where in the quiet time the idle check comes. The second: the byte itself.
#include "framer.h"
#include "monitor.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr qint64 kChar = 1'145'834;
constexpr qint64 kGap = 4'010'417;

struct Result {
    QList<WireUnit> units;
    QList<Heard> heard;
};

void pass(Pairing &pairing, QList<WireUnit> &units, Result &r) {
    for (const WireUnit &u : units)
        pairing.unit(u, r.heard);
    r.units += units;
    units.clear();
}

Result feed(const uint8_t *data, size_t size, bool split) {
    Framer framer(kChar, kGap);
    Pairing pairing(250'000'000);
    Result r;
    QList<WireUnit> units;
    qint64 t = 0;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const qint64 quiet = qint64(data[i] & 15) * 500'000;
        if (split && (data[i] & 16)) {
            const qint64 at = t + quiet * (data[i] >> 5) / 8;
            framer.idle(at, units);
            pass(pairing, units, r);
            pairing.idle(framer.heardUpTo(at), r.heard);
        }
        t += quiet + kChar;
        framer.feed(char(data[i + 1]), t, units);
        pass(pairing, units, r);
    }
    framer.flush(units);
    pass(pairing, units, r);
    pairing.flush(r.heard);
    return r;
}

bool same(const Heard &a, const Heard &b) {
    return a.verdict == b.verdict && a.request == b.request && a.reply == b.reply &&
           a.startNs == b.startNs && a.turnaroundMs == b.turnaroundMs && a.value == b.value &&
           a.repeated == b.repeated && a.address == b.address;
}

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "fuzz_monitor: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Result whole = feed(data, size, false);
    const Result split = feed(data, size, true);
    if (whole.units != split.units) fail("a split changed the units");
    if (whole.heard.size() != split.heard.size()) fail("a split changed the exchanges");
    for (qsizetype i = 0; i < whole.heard.size(); ++i)
        if (!same(whole.heard[i], split.heard[i])) fail("a split changed an exchange");

    QByteArray all, out;
    for (size_t i = 1; i < size; i += 2)
        all += char(data[i]);
    for (const WireUnit &u : whole.units) {
        out += u.bytes;
        if (u.bytes.isEmpty() || u.bytes.size() > Framer::kMaxUnit) fail("unit size");
        const char first = u.bytes.front(), last = u.bytes.back();
        switch (u.kind) {
        case WireUnit::Request:
            if ((first < 0x11 || first > 0x14) || last != 0x03) fail("request bounds");
            break;
        case WireUnit::Reply:
            if ((first != 0x02 && first != 0x14) || last != 0x17) fail("reply bounds");
            break;
        case WireUnit::Ack:
        case WireUnit::Nak:
            if (u.bytes.size() != 1 || first != (u.kind == WireUnit::Ack ? 0x06 : 0x15))
                fail("lone ACK or NAK");
            break;
        case WireUnit::Unframed:
            break;
        }
    }
    if (out != all) fail("bytes lost, added or reordered");
    return 0;
}
