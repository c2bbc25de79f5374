#include "settings.h"

#include "linetext.h"

#include <QStringList>

std::optional<LineSettings> parse_settings(const QString &text) {
    if (!line_bytes(text)) return std::nullopt;
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4) return std::nullopt;
    for (const QString &p : parts)
        for (QChar c : p)
            if (c.isSpace()) return std::nullopt;

    LineSettings s;
    // Only plain decimal digits: no sign, no blanks, no radix prefixes.
    const QString &rate = parts[0];
    if (rate.isEmpty() || rate.size() > 9) return std::nullopt;
    for (QChar c : rate)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
    s.rate = rate.toInt();
    if (s.rate <= 0) return std::nullopt;

    if (parts[1].size() != 1) return std::nullopt;
    switch (parts[1][0].toLower().toLatin1()) {
    case 'n':
        s.parity = QSerialPort::NoParity;
        break;
    case 'e':
        s.parity = QSerialPort::EvenParity;
        break;
    case 'o':
        s.parity = QSerialPort::OddParity;
        break;
    case 'm':
        s.parity = QSerialPort::MarkParity;
        break;
    case 's':
        s.parity = QSerialPort::SpaceParity;
        break;
    default:
        return std::nullopt;
    }

    const QString &data = parts[2];
    if (data == QLatin1String("5"))
        s.dataBits = QSerialPort::Data5;
    else if (data == QLatin1String("6"))
        s.dataBits = QSerialPort::Data6;
    else if (data == QLatin1String("7"))
        s.dataBits = QSerialPort::Data7;
    else if (data == QLatin1String("8"))
        s.dataBits = QSerialPort::Data8;
    else
        return std::nullopt;

    const QString &stop = parts[3];
    if (stop == QLatin1String("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return s;
}
