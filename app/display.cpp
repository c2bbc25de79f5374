#include "display.h"

namespace {
constexpr char16_t kCrPicture = 0x2400 + 13;

void put(QString &out, unsigned char c) {
    if (c >= 32 && c < 127)
        out += QLatin1Char(char(c));
    else if (c < 32)
        out += QChar(char16_t(0x2400 + c));
    else
        out += QStringLiteral("\u27e8%1\u27e9").arg(int(c), 2, 16, QLatin1Char('0')).toUpper();
}
} // namespace

QString ByteDisplay::render(const QByteArray &bytes) {
    QString out;
    out.reserve(bytes.size() + 2);
    qsizetype i = 0;
    const qsizetype n = bytes.size();
    if (crPending_ && n > 0) {
        crPending_ = false;
        if (bytes[0] == '\n') {
            out += QLatin1Char('\n');
            i = 1;
        } else {
            out += QChar(kCrPicture);
        }
    }
    for (; i < n; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r') {
            if (i + 1 == n) {
                crPending_ = true;
            } else if (bytes[i + 1] == '\n') {
                out += QLatin1Char('\n');
                ++i;
            } else {
                out += QChar(kCrPicture);
            }
        } else {
            put(out, c);
        }
    }
    return out;
}
