#pragma once

#include <QByteArray>
#include <QString>

// How bytes show in the text windows: printable ASCII as itself, a CR LF pair
// as a line break, other codes 0..31 as their Control Picture (U+2400 + code),
// 127..255 as hex in angle brackets (⟨7F⟩), which no received byte can fake.
// A CR that ends one insertion is held until the next shows whether LF follows.
class ByteDisplay {
public:
    QString render(const QByteArray &bytes);

private:
    bool crPending_ = false;
};
