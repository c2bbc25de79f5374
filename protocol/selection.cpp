#include "selection.h"

#include "preparation.h"

#include <array>

namespace fn {
const QString &readPv() {
    static const QString t = QStringLiteral("读PV(DC1)");
    return t;
}
const QString &readParameter() {
    static const QString t = QStringLiteral("读参数(DC2)");
    return t;
}
const QString &writeParameter() {
    static const QString t = QStringLiteral("写参数(DC3)");
    return t;
}
} // namespace fn

const QString &concentratorModel() {
    static const QString m = QStringLiteral("LNKCTRL");
    return m;
}

namespace {

QStringList numbered(const QString &prefix, int last, int width) {
    QStringList rows;
    for (int n = 1; n <= last; ++n)
        rows << prefix + QStringLiteral("%1").arg(n, width, 10, QLatin1Char('0'));
    return rows;
}

std::array<BoxTexts, kBoxCount> make_table() {
    std::array<BoxTexts, kBoxCount> t;
    auto set = [&t](Box b, const QString &initial, const QStringList &rows) {
        t[size_t(b)] = {initial, rows};
    };
    const QStringList ports = numbered(QStringLiteral("COM"), 16, 1);
    set(Box::Port, ports.first(), ports);
    QStringList settings;
    for (int rate : {1200, 2400, 4800, 9600, 19200, 38400, 56000})
        settings << QStringLiteral("%1,n,8,2").arg(rate);
    set(Box::Settings, settings.at(3), settings);
    const QStringList directions = direction_texts();
    set(Box::Signal, directions.first(), directions);
    set(Box::Model, concentratorModel(),
        numbered(QStringLiteral("PM-"), 23, 2) << concentratorModel());
    set(Box::Function, fn::readPv(), {fn::readPv(), fn::readParameter(), fn::writeParameter()});
    set(Box::Address, QStringLiteral("001"), {QStringLiteral("001")});
    set(Box::Channel, QStringLiteral("01"), {QStringLiteral("01")});
    set(Box::Parameter, QStringLiteral("01"), {QStringLiteral("01")});
    set(Box::Value, QStringLiteral("0000.0"), {QStringLiteral("0000.0")});
    set(Box::Concentrator, QStringLiteral("01"), {QStringLiteral("01")});
    return t;
}

} // namespace

const BoxTexts &box_texts(Box box) {
    static const std::array<BoxTexts, kBoxCount> table = make_table();
    return table[size_t(box)];
}
