#pragma once

#include <QString>
#include <QStringList>

// The ten selection boxes whose texts make up a request, in box order
// (Combo1 .. Combo10).
enum class Box {
    Port,
    Settings,
    Signal,
    Model,
    Function,
    Address,
    Channel,
    Parameter,
    Value,
    Concentrator
};
inline constexpr int kBoxCount = 10;

// The texts that decide behaviour; compared as exact text wherever they are used.
namespace fn {
const QString &readPv();
const QString &readParameter();
const QString &writeParameter();
} // namespace fn
const QString &concentratorModel();

// A box's text at start-up and the rows of its list. The only copy of both:
// the window and the defaults of Selection are built from it.
struct BoxTexts {
    QString initial;
    QStringList rows;
};
const BoxTexts &box_texts(Box box);

// The texts of the ten selection boxes, as they stand when they are read.
struct Selection {
    QString port = box_texts(Box::Port).initial;
    QString settings = box_texts(Box::Settings).initial;
    QString signal = box_texts(Box::Signal).initial;
    QString model = box_texts(Box::Model).initial;
    QString function = box_texts(Box::Function).initial;
    QString address = box_texts(Box::Address).initial;
    QString channel = box_texts(Box::Channel).initial;
    QString parameter = box_texts(Box::Parameter).initial;
    QString value = box_texts(Box::Value).initial;
    QString concentrator = box_texts(Box::Concentrator).initial;
};
