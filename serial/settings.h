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
