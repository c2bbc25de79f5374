#pragma once

#include <QSerialPort>
#include <QString>
#include <optional>

// Line settings as the text "rate,parity,data,stop", e.g. "9600,n,8,2".
struct LineSettings {
    qint32 rate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::TwoStop;
    bool operator==(const LineSettings &) const = default;
};

// Nothing for a text the port would not accept.
std::optional<LineSettings> parse_settings(const QString &text);
// The text that parse_settings reads back as s ("9600,e,7,1").
QString settings_text(const LineSettings &s);

// The line as a device reports it: its output speed in baud and its termios
// control flags (c_cflag).
struct TermiosAnswer {
    quint32 speed = 0;
    quint32 cflag = 0;
};

// The settings a device's answer stands for. Two stop bits with five data bits
// are one and a half, as a UART sends them.
LineSettings settings_of(const TermiosAnswer &answer);

// Whether the device holds what was asked. Asked one and a half stop bits, a
// UART that can only send two holds them: a longer stop is still read as one.
bool settings_held(const LineSettings &asked, const LineSettings &kept);

// Bits one character takes on the wire: start, data, parity, stop (1.5 as 2,
// see chartime.h), and its time there in nanoseconds.
int bits_per_char(const LineSettings &s);
qint64 char_ns(const LineSettings &s);
