#pragma once

#include "readable.h"

#include <QByteArray>
#include <QList>
#include <QString>

// How a piece of window text is set off.
enum class Look : quint8 {
    Plain,
    Name, // a control code's short name (STX), on a light background
    Hex,  // a byte 127..255 as two hex digits, on another light background
    Time, // arrival time before a batch or frame
    Gap,  // a break opportunity between tokens, drawn as a narrow gap
};

// Rendered text waiting to go into a window, taken from the front: the
// characters, runs of one look each over them, and the count of line breaks.
struct Rendered {
    struct Run {
        qsizetype length = 0;
        qsizetype breaks = 0;
        Look look = Look::Plain;
    };
    QString text;
    QList<Run> runs;
    qsizetype lineBreaks = 0;

    bool isEmpty() const { return runs.isEmpty(); }
    void clear() { *this = Rendered(); }
    void add(QStringView more, Look look);
    // Removes the first `count` runs.
    void take(qsizetype count);
    // Drops everything up to and including the n-th line break.
    void dropThroughBreak(qsizetype n);
};

// Invisible helpers in the window text: where a line may wrap, and where not.
inline constexpr QChar kBreakHere(char16_t(0x200B)); // zero width space
inline constexpr QChar kNoBreak(char16_t(0x2060));   // word joiner
inline constexpr QChar kHardSpace(char16_t(0x00A0)); // no-break space
// Ends a line the window broke, not the bytes: copying and saving join it to
// the next one.
inline constexpr QChar kMadeUpBreak(char16_t(0x200C)); // zero width non-joiner

// Window text as copying and saving give it: names and hex bytes in angle
// brackets, the invisible helpers gone, and only the bytes' own line breaks.
void append_copied(QString &out, QStringView shown, Look look);
QString copied_text(const Rendered &r);

// Turns the bytes a window is given into its text. Printable ASCII shows as
// itself, codes 0..31 as their short names, 127..255 as hex; CR LF, a lone CR
// and a lone LF each end the line at once (an LF right after a CR, even in
// the next insertion, adds nothing). A line may wrap only between tokens: a
// run of printable characters, a name, a hex byte; status lines (verdicts)
// not at all. Data may instead be shown as hex bytes, a line ending at each LF.
// A line that grows past kLongestRun is broken at the next token or space, a
// run of kHardRun printable characters anywhere; such a break is the view's
// only (kMadeUpBreak).
class ByteDisplay {
public:
    // A device that never sends a line break would grow one paragraph without
    // end, and laying it out again at every insertion costs its whole length.
    // Past kLongestRun the line is broken at the next token boundary; a run of
    // printable characters kHardRun long is no value and is broken anywhere.
    static constexpr int kLongestRun = 256;
    static constexpr int kHardRun = 512;

    enum class Kind { Data, Status };
    void render(const QByteArray &bytes, Kind kind, bool hex, Rendered &out);
    void stamp(const QString &time, Rendered &out);
    void reset() { *this = ByteDisplay(); }

private:
    enum class Last { LineStart, Space, Printable, Token };
    void lineBreak();
    void madeUpBreak();
    void gap(Rendered &out);
    void token(QStringView text, Look look, Rendered &out);
    void printable(char c, bool hard, Rendered &out);

    bool afterCr_ = false;
    Last last_ = Last::LineStart;
    bool lastAlnum_ = false;
    int col_ = 0;
    QString run_; // printable characters not yet handed to out
};
