#include "readable.h"

#include "controls.h"

#include <array>

namespace {

constexpr auto kHexNames = [] {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<char, 2>, 256> names{};
    for (int c = 0; c < 256; ++c)
        names[c] = {digits[c >> 4], digits[c & 15]};
    return names;
}();

} // namespace

QLatin1StringView byte_name(unsigned char c) {
    if (c < 32) return QLatin1StringView(ctl::kNames[c]);
    if (c < 127) return {};
    return QLatin1StringView(kHexNames[c].data(), 2);
}

QString readable(QByteArrayView bytes, Brackets brackets) {
    QString out;
    out.reserve(bytes.size() + 8);
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 32 && c < 127)
            out += QLatin1Char(ch);
        else
            append_bracketed(out, byte_name(c), brackets);
    }
    return out;
}
