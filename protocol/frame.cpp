#include "frame.h"

#include "controls.h"
#include "linetext.h"

#include <charconv>
#include <cmath>
#include <limits>
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

// from_chars leaves the value alone when it is out of range; the number's
// decimal magnitude tells overflow (infinity) from underflow (zero).
double out_of_range(const std::string &number) {
    const char *p = number.data();
    const char *end = p + number.size();
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    long magnitude = 0;
    bool significant = false;
    for (; p < end && is_digit(*p); ++p) {
        significant = significant || *p != '0';
        if (significant) ++magnitude;
    }
    if (p < end && *p == '.') {
        for (++p; p < end && is_digit(*p); ++p) {
            if (!significant && *p == '0') --magnitude;
            significant = significant || *p != '0';
        }
    }
    if (p < end) { // the exponent: the grammar has left nothing else
        ++p;
        const bool down = *p == '-';
        if (*p == '-' || *p == '+') ++p;
        long exponent = 0;
        if (std::from_chars(p, end, exponent).ec == std::errc::result_out_of_range)
            exponent = std::numeric_limits<long>::max() / 2;
        magnitude += down ? -exponent : exponent;
    }
    const double v = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -v : v;
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
    // The prefix is already checked against the grammar; from_chars converts it
    // correctly rounded, without the process locale.
    const char *first = number.data() + (number[0] == '+' ? 1 : 0);
    double v = 0;
    const auto [end, ec] = std::from_chars(first, number.data() + number.size(), v);
    if (ec == std::errc::result_out_of_range) return out_of_range(number);
    return v;
}

DigitRange digit_range(int w) {
    int p = 1;
    for (int i = 1; i < w; ++i)
        p *= 10;
    return {-48 * p, 80 * p - 1};
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
    auto digits = [&](Box box, const QString &text, int w) {
        if (refusal) return;
        if (const auto d = digit_text(leading_number(text), w))
            sendbuf += *d;
        else
            refusal = FrameRefusal{FrameRefusal::NumberOutOfRange, box, text, digit_range(w)};
    };

    if (sel.model == concentratorModel()) {
        sendbuf += DC4;
        digits(Box::Concentrator, sel.concentrator, 2);
    }
    if (sel.function == fn::readPv()) {
        sendbuf += DC1;
        digits(Box::Address, sel.address, 3);
        digits(Box::Channel, sel.channel, 2);
        sendbuf += ETX;
    } else if (sel.function == fn::readParameter()) {
        sendbuf += DC2;
        digits(Box::Address, sel.address, 3);
        digits(Box::Channel, sel.channel, 2);
        sendbuf += US;
        digits(Box::Parameter, sel.parameter, 2);
        sendbuf += ETX;
    } else if (sel.function == fn::writeParameter()) {
        sendbuf += DC3;
        digits(Box::Address, sel.address, 3);
        digits(Box::Channel, sel.channel, 2);
        sendbuf += US;
        digits(Box::Parameter, sel.parameter, 2);
        sendbuf += US;
        if (refusal) return refusal;
        const auto value = line_bytes(sel.value);
        if (!value) return FrameRefusal{FrameRefusal::NotAscii, Box::Value, sel.value};
        sendbuf += *value;
        sendbuf += US;
        const quint64 sum = frame_sum(sendbuf);
        if (sum >= kSumLimit) return FrameRefusal{FrameRefusal::SumTooLarge, Box::Value, sel.value};
        sendbuf += *digit_text(double(sum), 5);
        sendbuf += ETX;
    }
    return refusal;
}
