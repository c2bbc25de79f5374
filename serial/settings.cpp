#include "settings.h"

#include "chartime.h"

#include "linetext.h"

#include <QStringList>
#include <algorithm>
#include <iterator>
#include <termios.h>

namespace {

// How the settings text writes parity and stop bits, both ways.
struct ParityLetter {
    char letter;
    QSerialPort::Parity parity;
};
constexpr ParityLetter kParities[] = {{'n', QSerialPort::NoParity},
                                      {'e', QSerialPort::EvenParity},
                                      {'o', QSerialPort::OddParity},
                                      {'m', QSerialPort::MarkParity},
                                      {'s', QSerialPort::SpaceParity}};
struct StopText {
    const char *text;
    QSerialPort::StopBits stop;
};
constexpr StopText kStops[] = {
    {"1", QSerialPort::OneStop}, {"1.5", QSerialPort::OneAndHalfStop}, {"2", QSerialPort::TwoStop}};

} // namespace

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
    const char letter = parts[1][0].toLower().toLatin1();
    const auto parity =
        std::find_if(std::begin(kParities), std::end(kParities),
                     [letter](const ParityLetter &p) { return p.letter == letter; });
    if (parity == std::end(kParities)) return std::nullopt;
    s.parity = parity->parity;

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

    const auto stop =
        std::find_if(std::begin(kStops), std::end(kStops),
                     [&parts](const StopText &t) { return parts[3] == QLatin1String(t.text); });
    if (stop == std::end(kStops)) return std::nullopt;
    s.stopBits = stop->stop;
    return s;
}

QString settings_text(const LineSettings &s) {
    char parity = 'n';
    for (const ParityLetter &p : kParities)
        if (p.parity == s.parity) parity = p.letter;
    const char *stop = "2";
    for (const StopText &t : kStops)
        if (t.stop == s.stopBits) stop = t.text;
    return QStringLiteral("%1,%2,%3,%4")
        .arg(s.rate)
        .arg(QLatin1Char(parity))
        .arg(int(s.dataBits))
        .arg(QLatin1String(stop));
}

LineSettings settings_of(const TermiosAnswer &answer) {
    LineSettings s;
    s.rate = qint32(answer.speed);
    const tcflag_t c = answer.cflag;
    if (!(c & PARENB))
        s.parity = QSerialPort::NoParity;
    else if (c & CMSPAR)
        s.parity = (c & PARODD) ? QSerialPort::MarkParity : QSerialPort::SpaceParity;
    else
        s.parity = (c & PARODD) ? QSerialPort::OddParity : QSerialPort::EvenParity;
    switch (c & CSIZE) {
    case CS5:
        s.dataBits = QSerialPort::Data5;
        break;
    case CS6:
        s.dataBits = QSerialPort::Data6;
        break;
    case CS7:
        s.dataBits = QSerialPort::Data7;
        break;
    default:
        s.dataBits = QSerialPort::Data8;
        break;
    }
    if (!(c & CSTOPB))
        s.stopBits = QSerialPort::OneStop;
    else
        s.stopBits =
            s.dataBits == QSerialPort::Data5 ? QSerialPort::OneAndHalfStop : QSerialPort::TwoStop;
    return s;
}

bool settings_held(const LineSettings &asked, const LineSettings &kept) {
    if (asked.rate != kept.rate || asked.parity != kept.parity || asked.dataBits != kept.dataBits)
        return false;
    return asked.stopBits == kept.stopBits ||
           (asked.stopBits == QSerialPort::OneAndHalfStop && kept.stopBits == QSerialPort::TwoStop);
}

int bits_per_char(const LineSettings &s) {
    return kc_bits_per_char(int(s.dataBits), s.parity != QSerialPort::NoParity,
                            s.stopBits != QSerialPort::OneStop);
}

qint64 char_ns(const LineSettings &s) {
    return kc_char_ns(bits_per_char(s), s.rate);
}
