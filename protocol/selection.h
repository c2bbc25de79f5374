#pragma once

#include <QString>

// The texts of the ten selection boxes, as they stand when they are read.
struct Selection {
    QString port = QStringLiteral("COM1");             // Combo1
    QString settings = QStringLiteral("9600,n,8,2");   // Combo2
    QString signal = QStringLiteral("RTS=0");          // Combo3
    QString model = QStringLiteral("LNKCTRL");         // Combo4
    QString function = QString::fromUtf8("读PV(DC1)"); // Combo5
    QString address = QStringLiteral("001");           // Combo6
    QString channel = QStringLiteral("01");            // Combo7
    QString parameter = QStringLiteral("01");          // Combo8
    QString value = QStringLiteral("0000.0");          // Combo9
    QString concentrator = QStringLiteral("01");       // Combo10
};

namespace fn {
inline QString readPv() {
    return QString::fromUtf8("读PV(DC1)");
}
inline QString readParameter() {
    return QString::fromUtf8("读参数(DC2)");
}
inline QString writeParameter() {
    return QString::fromUtf8("写参数(DC3)");
}
} // namespace fn

inline const QString &concentratorModel() {
    static const QString m = QStringLiteral("LNKCTRL");
    return m;
}
