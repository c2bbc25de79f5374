#include "display.h"

#include <array>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool alnum(QChar c) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// Token texts, made once: the names of the bytes that are not printable ASCII.
const QString &token_text(unsigned char c) {
    static const auto names = [] {
        std::array<QString, 256> a;
        for (int i = 0; i < 256; ++i)
            a[i] = byte_name(static_cast<unsigned char>(i));
        return a;
    }();
    return names[c];
}

// Line breaking (UAX #14) never splits two letters or digits, but may split
// after punctuation such as '-' or '/': a joiner keeps such pairs together.
QString unbroken(QStringView text) {
    QString s;
    s.reserve(text.size() * 2);
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (i > 0 && !(alnum(text[i - 1]) && alnum(text[i]))) s += kNoBreak;
        s += text[i];
    }
    return s;
}

} // namespace

void Rendered::add(QStringView more, Look look) {
    if (more.isEmpty()) return;
    const qsizetype n = more.count(u'\n');
    lineBreaks += n;
    text += more;
    if (!runs.isEmpty() && runs.last().look == look) {
        runs.last().length += more.size();
        runs.last().breaks += n;
    } else {
        runs.append({more.size(), n, look});
    }
}

// Removing from the front of a Qt 6 container moves its start, not its contents.
void Rendered::take(qsizetype count) {
    qsizetype chars = 0;
    for (qsizetype i = 0; i < count; ++i) {
        chars += runs[i].length;
        lineBreaks -= runs[i].breaks;
    }
    runs.remove(0, count);
    text.remove(0, chars);
}

void Rendered::dropThroughBreak(qsizetype n) {
    qsizetype seen = 0, r = 0, chars = 0;
    for (; r < runs.size(); ++r) {
        Run &run = runs[r];
        if (seen + run.breaks < n) {
            seen += run.breaks;
            chars += run.length;
            continue;
        }
        qsizetype at = chars - 1;
        for (qsizetype k = n - seen; k > 0; --k)
            at = text.indexOf(u'\n', at + 1);
        const qsizetype cut = at + 1 - chars; // of this run
        run.length -= cut;
        run.breaks -= n - seen;
        chars += cut;
        seen = n;
        if (run.length == 0) ++r;
        break;
    }
    runs.remove(0, r);
    text.remove(0, chars);
    lineBreaks -= seen;
}

void append_copied(QString &out, QStringView shown, Look look) {
    if (look == Look::Name || look == Look::Hex) {
        append_bracketed(out, shown, Brackets::Angle);
        return;
    }
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const QChar c = shown[i];
        if (c == kMadeUpBreak) {
            if (i + 1 < shown.size() && shown[i + 1] == u'\n') ++i;
        } else if (c == kHardSpace) {
            out += u' ';
        } else if (c != kBreakHere && c != kNoBreak) {
            out += c;
        }
    }
}

QString copied_text(const Rendered &r) {
    QString out;
    qsizetype at = 0;
    for (const Rendered::Run &run : r.runs) {
        append_copied(out, QStringView(r.text).sliced(at, run.length), run.look);
        at += run.length;
    }
    return out;
}

void ByteDisplay::lineBreak() {
    run_ += u'\n';
    col_ = 0;
    last_ = Last::LineStart;
}

void ByteDisplay::madeUpBreak() {
    run_ += kMadeUpBreak;
    lineBreak();
}

void ByteDisplay::gap(Rendered &out) {
    out.add(run_, Look::Plain);
    run_.clear();
    out.add(QStringView(&kBreakHere, 1), Look::Gap);
}

void ByteDisplay::token(QStringView text, Look look, Rendered &out) {
    if (last_ == Last::Printable || last_ == Last::Token) {
        if (col_ >= kLongestRun)
            madeUpBreak();
        else
            gap(out);
    }
    out.add(run_, Look::Plain);
    run_.clear();
    out.add(text, look);
    col_ += int(text.size());
    last_ = Last::Token;
}

void ByteDisplay::printable(char c, bool hard, Rendered &out) {
    if (c == ' ') {
        run_ += hard ? kHardSpace : QChar(u' ');
        ++col_;
        last_ = Last::Space;
        if (!hard && col_ >= kLongestRun) madeUpBreak();
        return;
    }
    const bool an = alnum(QLatin1Char(c));
    if (last_ == Last::Token) {
        if (col_ >= kLongestRun)
            madeUpBreak();
        else
            gap(out);
    } else if (last_ == Last::Printable) {
        if (col_ >= kHardRun)
            madeUpBreak();
        else if (!(an && lastAlnum_))
            run_ += kNoBreak;
    }
    run_ += QLatin1Char(c);
    ++col_;
    last_ = Last::Printable;
    lastAlnum_ = an;
}

void ByteDisplay::render(const QByteArray &bytes, Kind kind, bool hex, Rendered &out) {
    if (hex && kind == Kind::Data) {
        // Two digits a byte, a space between; a line ends after each LF.
        for (char ch : bytes) {
            const auto c = static_cast<unsigned char>(ch);
            if (last_ == Last::Printable || last_ == Last::Token) {
                run_ += u' ';
                ++col_;
                if (col_ >= kLongestRun) madeUpBreak();
            }
            run_ += QLatin1Char(kHexDigits[c >> 4]);
            run_ += QLatin1Char(kHexDigits[c & 15]);
            col_ += 2;
            last_ = Last::Printable;
            if (c == '\n') lineBreak();
        }
        lastAlnum_ = true;
        afterCr_ = false;
    } else {
        const bool hard = kind == Kind::Status;
        for (char ch : bytes) {
            const auto c = static_cast<unsigned char>(ch);
            if (c == '\r') {
                lineBreak();
                afterCr_ = true;
                continue;
            }
            if (c == '\n') {
                if (!afterCr_) lineBreak();
                afterCr_ = false;
                continue;
            }
            afterCr_ = false;
            if (c < 32)
                token(token_text(c), Look::Name, out);
            else if (c >= 127)
                token(token_text(c), Look::Hex, out);
            else
                printable(ch, hard, out);
        }
    }
    out.add(run_, Look::Plain);
    run_.clear();
}

void ByteDisplay::stamp(const QString &time, Rendered &out) {
    if (last_ == Last::Printable || last_ == Last::Token) {
        run_ += u' ';
        ++col_;
    }
    out.add(run_, Look::Plain);
    run_.clear();
    out.add(unbroken(time), Look::Time);
    col_ += int(time.size()) + 1;
    run_ += u' ';
    last_ = Last::Space;
}
