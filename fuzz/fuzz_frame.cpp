// Selection texts through leading_number and compose_frame, checked against a
// plain composition written here from the frame tables: the same number for
// every text, the same frame byte for byte, and a refusal exactly when a
// character code would leave 0..127 (naming the first such box).
#include "frame.h"
#include "selection.h"

#include <QString>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <optional>
#include <string>

namespace {

[[noreturn]] void fail(const char *what, const std::string &detail = {}) {
    std::fprintf(stderr, "fuzz_frame: %s %s\n", what, detail.c_str());
    std::abort();
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

// The number a text begins with: blanks (space, tab, line feed) dropped
// anywhere, then sign, digits, an optional point with digits, an optional
// exponent. Nothing readable gives 0.
double ref_number(const QString &text) {
    std::string s;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == ' ' || u == '\t' || u == '\n') continue;
        s += u < 128 ? char(u) : '?';
    }
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const std::size_t first = i;
    while (i < s.size() && digit(s[i]))
        ++i;
    if (i == first) return 0.0;
    if (i + 1 < s.size() && s[i] == '.' && digit(s[i + 1])) {
        ++i;
        while (i < s.size() && digit(s[i]))
            ++i;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && digit(s[j])) {
            while (j < s.size() && digit(s[j]))
                ++j;
            i = j;
        }
    }
    // The fuzzer never sets a locale: strtod reads the point.
    return std::strtod(s.substr(0, i).c_str(), nullptr);
}

// w characters of code 48 + digit, the last one rounded half to even; nothing
// if a code leaves 0..127.
std::optional<std::string> ref_digits(double v, int w) {
    double p = 1;
    for (int k = 1; k < w; ++k)
        p *= 10;
    std::string out;
    double r = v;
    for (int k = 0; k < w - 1; ++k) {
        const double q = std::floor(r / p);
        const double code = 48 + q;
        if (!(code >= 0 && code <= 127)) return std::nullopt;
        out += char(int(code));
        r -= q * p;
        p /= 10;
    }
    const double code = 48 + std::rint(r);
    if (!(code >= 0 && code <= 127)) return std::nullopt;
    out += char(int(code));
    return out;
}

struct RefFrame {
    std::string frame;
    std::optional<FrameRefusal::Reason> refusal;
    Box box = Box::Address;
};

RefFrame ref_compose(const Selection &sel) {
    RefFrame r;
    auto number = [&r](Box box, const QString &text, int w) {
        if (r.refusal) return;
        if (auto d = ref_digits(ref_number(text), w)) {
            r.frame += *d;
        } else {
            r.refusal = FrameRefusal::NumberOutOfRange;
            r.box = box;
        }
    };
    if (sel.model == QLatin1String("LNKCTRL")) {
        r.frame += '\x14';
        number(Box::Concentrator, sel.concentrator, 2);
    }
    const bool pv = sel.function == QString::fromUtf8("读PV(DC1)");
    const bool par = sel.function == QString::fromUtf8("读参数(DC2)");
    const bool write = sel.function == QString::fromUtf8("写参数(DC3)");
    if (pv || par || write) {
        r.frame += pv ? '\x11' : par ? '\x12' : '\x13';
        number(Box::Address, sel.address, 3);
        number(Box::Channel, sel.channel, 2);
        if (par || write) {
            r.frame += '\x1f';
            number(Box::Parameter, sel.parameter, 2);
        }
        if (write && !r.refusal) {
            r.frame += '\x1f';
            for (QChar c : sel.value) {
                if (c.unicode() > 127) {
                    r.refusal = FrameRefusal::NotAscii;
                    r.box = Box::Value;
                    return r;
                }
                r.frame += char(c.unicode());
            }
            r.frame += '\x1f';
            std::uint64_t sum = 0;
            for (unsigned char c : r.frame)
                sum += c;
            if (sum >= 800000) {
                r.refusal = FrameRefusal::SumTooLarge;
                r.box = Box::Value;
                return r;
            }
            r.frame += char('0' + sum / 10000);
            r.frame += std::to_string(10000 + sum % 10000).substr(1);
        }
        r.frame += '\x03';
    }
    return r;
}

QString text_from(FuzzedDataProvider &fdp, std::size_t longest = 400) {
    const std::string raw = fdp.ConsumeRandomLengthString(longest);
    switch (fdp.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return QString::fromLatin1(raw.data(), qsizetype(raw.size()));
    case 1:
        return QString::fromUtf8(raw.data(), qsizetype(raw.size()));
    case 2: {
        // Raw UTF-16, lone surrogates included.
        QString s;
        for (std::size_t i = 0; i + 1 < raw.size(); i += 2)
            s += QChar(char16_t((unsigned char)raw[i] | (unsigned char)raw[i + 1] << 8));
        return s;
    }
    default:
        // Mostly number-like: digits, signs, points, exponents, blanks.
        QString s;
        static const char alphabet[] = "0123456789+-.eE \t\n,9";
        for (unsigned char c : raw)
            s += QLatin1Char(alphabet[c % (sizeof alphabet - 1)]);
        return s;
    }
}

QString pick(FuzzedDataProvider &fdp, std::initializer_list<const char *> known) {
    const std::size_t k = fdp.ConsumeIntegralInRange<std::size_t>(0, known.size());
    if (k < known.size()) return QString::fromUtf8(known.begin()[k]);
    return text_from(fdp);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    Selection sel;
    sel.model = pick(fdp, {"LNKCTRL", "PM-01", "lnkctrl", "LNKCTRL "});
    sel.function = pick(fdp, {"读PV(DC1)", "读参数(DC2)", "写参数(DC3)", "DC1"});
    sel.address = text_from(fdp);
    sel.channel = text_from(fdp);
    sel.parameter = text_from(fdp);
    sel.value = text_from(fdp, 8000); // long enough for sums of six digits
    sel.concentrator = text_from(fdp);

    for (const QString *t :
         {&sel.address, &sel.channel, &sel.parameter, &sel.concentrator, &sel.value, &sel.model}) {
        const double got = leading_number(*t);
        const double want = ref_number(*t);
        if (std::memcmp(&got, &want, sizeof got) != 0)
            fail("leading_number differs:", t->toStdString() + " gives " + std::to_string(got) +
                                                " instead of " + std::to_string(want));
    }

    QByteArray sendbuf;
    const std::optional<FrameRefusal> refusal = compose_frame(sel, sendbuf);
    const RefFrame ref = ref_compose(sel);
    if (std::getenv("KC_FUZZ_TRACE")) // to read what a corpus file composes
        std::fprintf(stderr, "%s %s\n", refusal ? "refusal of box" : "frame",
                     sendbuf.left(40).toHex(' ').constData());
    if (refusal) {
        if (!ref.refusal) fail("refused a frame whose codes all stay in 0..127:", ref.frame);
        if (refusal->reason != *ref.refusal || refusal->box != ref.box)
            fail("refusal names another box or reason: box", std::to_string(int(refusal->box)));
        return 0;
    }
    if (ref.refusal)
        fail("accepted a frame with a code outside 0..127 in box", std::to_string(int(ref.box)));
    for (char c : sendbuf)
        if ((unsigned char)c > 127) fail("frame byte outside 0..127");
    if (sendbuf.toStdString() != ref.frame)
        fail("frame differs from the table:",
             QByteArray::fromStdString(ref.frame).toHex(' ').toStdString() + " vs " +
                 sendbuf.toHex(' ').toStdString());
    return 0;
}
