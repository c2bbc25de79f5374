#pragma once

// The request frames for the default selections, as literals, shared by the
// suites that check composition and what reaches the line.
#include <QByteArray>
#include <QString>
#include <QtTest>

inline QByteArray hex(const char *spaced) {
    return QByteArray::fromHex(spaced);
}

inline const QString kRead = QStringLiteral("读PV(DC1)");
inline const QString kReadPar = QStringLiteral("读参数(DC2)");
inline const QString kWrite = QStringLiteral("写参数(DC3)");

// Columns model, function, frame (as sendbuf holds it) and wire (frame + ETX).
inline void addDefaultFrameRows() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("function");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("LNKCTRL DC1") << "LNKCTRL" << kRead << hex("14 30 31 11 30 30 31 30 31 03")
                                 << hex("14 30 31 11 30 30 31 30 31 03 03");
    QTest::newRow("LNKCTRL DC2") << "LNKCTRL" << kReadPar
                                 << hex("14 30 31 12 30 30 31 30 31 1F 30 31 03")
                                 << hex("14 30 31 12 30 30 31 30 31 1F 30 31 03 03");
    QTest::newRow("LNKCTRL DC3")
        << "LNKCTRL" << kWrite
        << hex("14 30 31 13 30 30 31 30 31 1F 30 31 1F 30 30 30 30 2E 30 1F 30 30 38 35 34 03")
        << hex("14 30 31 13 30 30 31 30 31 1F 30 31 1F 30 30 30 30 2E 30 1F 30 30 38 35 34 03 03");
    QTest::newRow("PM-01 DC1") << "PM-01" << kRead << hex("11 30 30 31 30 31 03")
                               << hex("11 30 30 31 30 31 03 03");
    QTest::newRow("PM-01 DC2") << "PM-01" << kReadPar << hex("12 30 30 31 30 31 1F 30 31 03")
                               << hex("12 30 30 31 30 31 1F 30 31 03 03");
    QTest::newRow("PM-01 DC3")
        << "PM-01" << kWrite
        << hex("13 30 30 31 30 31 1F 30 31 1F 30 30 30 30 2E 30 1F 30 30 37 33 37 03")
        << hex("13 30 30 31 30 31 1F 30 31 1F 30 30 30 30 2E 30 1F 30 30 37 33 37 03 03");
}
