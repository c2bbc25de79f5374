#include "linetext.h"

std::optional<QByteArray> line_bytes(const QString &text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (QChar c : text) {
        if (c.unicode() > 127) return std::nullopt;
        bytes.append(char(c.unicode()));
    }
    return bytes;
}
