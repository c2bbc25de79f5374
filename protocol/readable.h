#pragma once

#include <QByteArrayView>
#include <QLatin1StringView>
#include <QString>

// How the name of a byte that is not printable ASCII is set off.
enum class Brackets : quint8 {
    Angle, // ⟨STX⟩ ⟨7F⟩: copied window text, the session log, messages
    Ascii, // <STX> <7F>: the simulator's log, readable on any terminal
};

// The name of a byte that is not printable ASCII: a control code's short name
// (STX), any other byte as two hex digits (7F, 80). Empty for 32..126.
QLatin1StringView byte_name(unsigned char c);

// Appends a name (STX, QStringView or QLatin1StringView) in brackets.
template <typename Name> void append_bracketed(QString &out, Name name, Brackets brackets) {
    const bool angle = brackets == Brackets::Angle;
    out += angle ? QChar(u'\u27e8') : QChar(u'<');
    out += name;
    out += angle ? QChar(u'\u27e9') : QChar(u'>');
}

// Bytes as a person reads them: printable ASCII as itself, every other byte by
// its name in brackets. In angle brackets no received byte can fake a name.
QString readable(QByteArrayView bytes, Brackets brackets = Brackets::Angle);
