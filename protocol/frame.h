#pragma once

#include "selection.h"

#include <QByteArray>
#include <QString>
#include <optional>

// The number a selection text begins with, blanks removed; 0 if there is none.
// Sign, digits, optional point and digits, optional exponent; the point is the
// only decimal separator whatever the locale.
double leading_number(const QString &text);

// v as w characters of code 48 + digit, most significant first, the last
// position rounded half to even. Nothing if a character would leave 0..127
// (or v is not finite): such a frame has no defined form on the line.
std::optional<QByteArray> digit_text(double v, int w);

// Sum of the character codes (0..255) of all bytes.
quint64 frame_sum(const QByteArray &text);

// The numbers a field of w digit characters can carry: below the lowest the
// first character falls under code 0, above the highest it leaves ASCII.
struct DigitRange {
    int lowest;
    int highest;
};
DigitRange digit_range(int w);

// Frame sums from here on have no five-character form on the line.
inline constexpr quint64 kSumLimit = 800000;

// Which box made a frame impossible, and its text.
struct FrameRefusal {
    enum Reason { NumberOutOfRange, NotAscii, SumTooLarge };
    Reason reason;
    Box box;
    QString text;       // the box's text
    DigitRange range{}; // NumberOutOfRange: what the field can carry
};

// Appends the request frame for sel to sendbuf. On a refusal sendbuf holds
// whatever was appended before it and must not be sent.
std::optional<FrameRefusal> compose_frame(const Selection &sel, QByteArray &sendbuf);
