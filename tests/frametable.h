#pragma once

// Tables of literals shared by several suites: the request frames for the
// default selections, and the direction lines around a write.
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

// Columns signal, atRaise and atRelease: the port log entry each drives, empty
// where no line is driven. Ends with an unmatched text.
inline void addDirectionRows() {
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("atRaise");
    QTest::addColumn<QString>("atRelease");
    QTest::newRow("RTS=0") << "RTS=0"
                           << "rts 0"
                           << "rts 1";
    QTest::newRow("RTS=1") << "RTS=1"
                           << "rts 1"
                           << "rts 0";
    QTest::newRow("DTR=0") << "DTR=0"
                           << "dtr 0"
                           << "dtr 1";
    QTest::newRow("DTR=1") << "DTR=1"
                           << "dtr 1"
                           << "dtr 0";
    QTest::newRow("MODEM") << "MODEM"
                           << "dtr 1"
                           << "dtr 1";
    QTest::newRow("lower case rts=0") << "rts=0"
                                      << ""
                                      << "";
}
