// The telnet/RFC 2217 decoder against a plain reference of the framing.
//
// 1. The input is read as records that build a stream the way a server would:
//      op % 3 == 0  data: one length byte, then that many bytes (0xFF doubled)
//      op % 3 == 1  a command: verb byte (WILL, WONT, DO or DONT by % 4), option
//      op % 3 == 2  a subnegotiation: option, length byte, then that many bytes
//                   (repeated up to twice the bound, so that long ones occur)
//    The stream is fed in pieces cut by the input itself; the data bytes come
//    out exactly, and the commands and subnegotiations of the bound in order.
// 2. The raw input, whatever it holds, decodes alike whole and byte by byte.
// 3. A subnegotiation taken as a settings answer answers one of the four
//    settings requests, with a value the option allows.
// 4. The raw input's commands drive a negotiation and a settings exchange as
//    the port does, each DO COM-PORT asking the next settings of a table; fed
//    whole and byte by byte, both agree with a plain reference at every step.
#include "settings.h"
#include "telnet.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>

using namespace telnet;

namespace {

struct Reader {
    const uint8_t *p;
    size_t n;
    bool more() const { return n > 0; }
    uint8_t next() {
        if (!n) return 0;
        --n;
        return *p++;
    }
};

void require(bool ok) {
    if (!ok) std::abort();
}

struct Decoded {
    QByteArray data;
    QList<Event> events;
};

Decoded decode_in_pieces(const QByteArray &stream, const QList<int> &cuts) {
    Decoder d;
    Decoded out;
    qsizetype at = 0;
    for (const int cut : cuts) {
        if (at >= stream.size()) break;
        d.feed(stream.mid(at, cut), out.data, out.events);
        at += cut;
    }
    d.feed(stream.mid(at), out.data, out.events);
    for (const Event &e : out.events)
        require(e.payload.size() <= kMaxSub);
    return out;
}

const LineSettings kAsks[] = {*parse_settings("9600,n,8,2"), *parse_settings("4800,e,7,1"),
                              *parse_settings("19200,m,5,1.5"), *parse_settings("65535,s,6,2")};

// The rules written out once more, plainly.
struct Reference {
    std::set<int> we{kComPort, kBinary}, he{kBinary}, refused;
    std::set<int> awaited; // codes asked and not answered since
    LineSettings asked, kept;
    std::optional<LineSettings> confirmed;

    QByteArray answer(quint8 verb, quint8 o) {
        const bool ours = o == kBinary || o == kSuppressGoAhead || o == kComPort;
        if ((verb == DO || verb == WILL) && !ours)
            return refused.insert(o).second ? command(verb == DO ? WONT : DONT, o) : QByteArray();
        if (verb == DO) return we.insert(o).second ? command(WILL, o) : QByteArray();
        if (verb == DONT) return o != kComPort && we.erase(o) ? command(WONT, o) : QByteArray();
        if (verb == WILL) return he.insert(o).second ? command(DO, o) : QByteArray();
        return he.erase(o) ? command(DONT, o) : QByteArray();
    }
    bool take(quint8 code, const QByteArray &value) {
        const auto a = setting_answer(code, value);
        if (!a || !awaited.count(code - kServerOffset)) return false;
        awaited.erase(code - kServerOffset);
        const quint32 v = a->value;
        static constexpr QSerialPort::Parity parities[] = {
            QSerialPort::NoParity, QSerialPort::OddParity, QSerialPort::EvenParity,
            QSerialPort::MarkParity, QSerialPort::SpaceParity};
        static constexpr QSerialPort::StopBits stops[] = {
            QSerialPort::OneStop, QSerialPort::TwoStop, QSerialPort::OneAndHalfStop};
        if (a->asked == SetBaudRate) kept.rate = qint32(v);
        if (a->asked == SetDataSize) kept.dataBits = QSerialPort::DataBits(v);
        if (a->asked == SetParity) kept.parity = parities[v - 1];
        if (a->asked == SetStopSize) kept.stopBits = stops[v - 1];
        if (awaited.empty())
            confirmed = settings_held(asked, kept) ? std::optional(asked) : std::nullopt;
        return true;
    }
};

// What the client sends and takes, fed `piece` bytes at a time.
QByteArray drive(const QByteArray &raw, qsizetype piece) {
    Decoder d;
    Negotiation n;
    SettingsExchange x;
    Reference ref;
    QByteArray trace = n.open();
    int asks = 0;
    for (qsizetype at = 0; at < raw.size(); at += piece) {
        QByteArray data;
        QList<Event> events;
        d.feed(raw.mid(at, piece), data, events);
        for (const Event &e : events) {
            if (e.kind == Event::Verb) {
                const Negotiation::Answer a = n.answer(e.verb, e.option);
                require(a.bytes == ref.answer(e.verb, e.option));
                const bool comPort = e.option == kComPort;
                require((a.comPort == Negotiation::ComPortSaid::Agreed) ==
                        (comPort && e.verb == DO));
                require((a.comPort == Negotiation::ComPortSaid::Refused) ==
                        (comPort && e.verb == DONT));
                trace += a.bytes;
                if (a.comPort != Negotiation::ComPortSaid::Agreed) continue;
                const LineSettings &s = kAsks[asks++ % 4];
                trace += x.ask(s);
                ref.awaited = {SetBaudRate, SetDataSize, SetParity, SetStopSize};
                ref.asked = ref.kept = s;
            } else if (e.option == kComPort && !e.payload.isEmpty()) {
                const quint8 code = quint8(e.payload[0]);
                const bool taken = x.take(code, e.payload.mid(1));
                require(taken == ref.take(code, e.payload.mid(1)));
                trace += taken ? 't' : '-';
            }
            require(x.answered() == ref.awaited.empty());
            require(x.kept() == ref.kept);
            require(x.held() == settings_held(ref.asked, ref.kept));
            for (const LineSettings &s : kAsks)
                require(x.readBack(s) == (ref.confirmed == s));
        }
    }
    return trace;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    Reader in{bytes, size};
    QByteArray stream, data;
    QList<Event> events;
    QList<int> cuts;
    int subs = 0;
    while (in.more()) {
        const uint8_t op = in.next();
        cuts << 1 + op % 29; // the records cut the stream, unrelated to their bounds
        if (op % 3 == 0) {
            QByteArray chunk;
            for (int len = in.next(); len > 0; --len)
                chunk += char(in.next());
            stream += escape(chunk);
            data += chunk;
        } else if (op % 3 == 1) {
            const quint8 verb = quint8(WILL + in.next() % 4);
            const quint8 option = in.next();
            stream += command(verb, option);
            events.append({Event::Verb, verb, option, {}});
        } else if (subs++ < 8) {
            const quint8 option = in.next();
            const int len = in.next() * (op & 0x80 ? 2 : 1);
            QByteArray payload;
            for (int i = 0; i < len; ++i)
                payload += char(in.next() ^ i);
            stream += QByteArray(1, char(IAC)) + char(SB) + char(option) + escape(payload) +
                      char(IAC) + char(SE);
            if (payload.size() <= kMaxSub) events.append({Event::Sub, 0, option, payload});
        }
    }
    const Decoded got = decode_in_pieces(stream, cuts);
    require(got.data == data);
    require(got.events == events);

    // Any bytes at all: one piece or one byte at a time, the same.
    const QByteArray raw(reinterpret_cast<const char *>(bytes), qsizetype(size));
    const Decoded whole = decode_in_pieces(raw, {});
    const Decoded single = decode_in_pieces(raw, QList<int>(raw.size(), 1));
    require(whole.data == single.data);
    require(whole.events == single.events);
    require(whole.data.size() <= raw.size());

    for (const Event &e : whole.events) {
        if (e.kind != Event::Sub || e.option != kComPort || e.payload.isEmpty()) continue;
        const quint8 code = quint8(e.payload[0]);
        const auto answer = setting_answer(code, e.payload.mid(1));
        if (!answer) continue;
        require(answer->asked >= SetBaudRate && answer->asked <= SetStopSize);
        require(code == answer->asked + kServerOffset);
        require(answer->value >= 1 && answer->value <= 0x7fffffff);
    }

    require(drive(raw, raw.size() + 1) == drive(raw, 1));
    return 0;
}
