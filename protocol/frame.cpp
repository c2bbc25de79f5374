#include "frame.h"

#include "controls.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <string>

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The longest prefix of t that reads as a number by the grammar above.
std::string number_prefix(const std::string &t) {
    size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    const size_t digitsFrom = i;
    while (i < t.size() && is_digit(t[i]))
        ++i;
    if (i == digitsFrom) return {};
    if (i + 1 < t.size() && t[i] == '.' && is_digit(t[i + 1])) {
        i += 2;
        while (i < t.size() && is_digit(t[i]))
            ++i;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        size_t j = i + 1;
        if (j < t.size() && (t[j] == '+' || t[j] == '-')) ++j;
        if (j < t.size() && is_digit(t[j])) {
            while (j < t.size() && is_digit(t[j]))
                ++j;
            i = j;
        }
    }
    return t.substr(0, i);
}

locale_t c_locale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return loc;
}

bool is_ascii(const QString &s) {
    for (QChar c : s)
        if (c.unicode() > 127) return false;
    return true;
}

} // namespace

double leading_number(const QString &text) {
    std::string t;
    t.reserve(size_t(text.size()));
    for (QChar c : text) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')) continue;
        // Anything outside ASCII ends the number where it stands.
        t.push_back(c.unicode() < 128 ? char(c.unicode()) : '\x7f');
    }
    const std::string number = number_prefix(t);
    if (number.empty()) return 0.0;
    // The prefix is already checked against the grammar; strtod_l only converts it
    // (correctly rounded, overflow to infinity) without the process locale.
    return strtod_l(number.c_str(), nullptr, c_locale());
}

std::optional<QByteArray> digit_text(double v, int w) {
    QByteArray out;
    out.reserve(w);
    double p = std::pow(10.0, w - 1);
    double r = v;
    auto put = [&out](double code) {
        if (!(code >= 0 && code <= 127)) return false;
        out.append(char(int(code)));
        return true;
    };
    for (int i = 0; i < w - 1; ++i) {
        const double q = std::floor(r / p);
        if (!put(48 + q)) return std::nullopt;
        r -= q * p;
        p /= 10;
    }
    if (!put(48 + std::nearbyint(r))) // default rounding mode: half to even
        return std::nullopt;
    return out;
}

quint64 frame_sum(const QByteArray &text) {
    quint64 s = 0;
    for (char c : text)
        s += static_cast<unsigned char>(c);
    return s;
}

std::optional<FrameRefusal> compose_frame(const Selection &sel, QByteArray &sendbuf) {
    using namespace ctl;
    std::optional<FrameRefusal> refusal;
    auto digits = [&](const QString &box, const QString &text, int w) {
        if (refusal) return;
        if (const auto d = digit_text(leading_number(text), w))
            sendbuf += *d;
        else
            refusal = FrameRefusal{FrameRefusal::NumberOutOfRange, box, text};
    };

    if (sel.model == concentratorModel()) {
        sendbuf += DC4;
        digits(QStringLiteral("Combo10"), sel.concentrator, 2);
    }
    if (sel.function == fn::readPv()) {
        sendbuf += DC1;
        digits(QStringLiteral("Combo6"), sel.address, 3);
        digits(QStringLiteral("Combo7"), sel.channel, 2);
        sendbuf += ETX;
    } else if (sel.function == fn::readParameter()) {
        sendbuf += DC2;
        digits(QStringLiteral("Combo6"), sel.address, 3);
        digits(QStringLiteral("Combo7"), sel.channel, 2);
        sendbuf += US;
        digits(QStringLiteral("Combo8"), sel.parameter, 2);
        sendbuf += ETX;
    } else if (sel.function == fn::writeParameter()) {
        sendbuf += DC3;
        digits(QStringLiteral("Combo6"), sel.address, 3);
        digits(QStringLiteral("Combo7"), sel.channel, 2);
        sendbuf += US;
        digits(QStringLiteral("Combo8"), sel.parameter, 2);
        sendbuf += US;
        if (refusal) return refusal;
        if (!is_ascii(sel.value))
            return FrameRefusal{FrameRefusal::NotAscii, QStringLiteral("Combo9"), sel.value};
        sendbuf += sel.value.toLatin1();
        sendbuf += US;
        const auto sum = digit_text(double(frame_sum(sendbuf)), 5);
        if (!sum)
            return FrameRefusal{FrameRefusal::SumTooLarge, QStringLiteral("Combo9"), sel.value};
        sendbuf += *sum;
        sendbuf += ETX;
    }
    return refusal;
}
