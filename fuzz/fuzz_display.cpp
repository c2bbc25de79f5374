// The window's byte rendering (ByteDisplay) in random batches, against a plain
// reference of the display rules written here: the same bytes split into
// batches any other way give the same window text, and the text copied from
// it holds only what arrived: printable ASCII, the names and hex bytes in
// angle brackets, and the bytes' own line breaks (none the window made up).
//
// Input: a sequence of records, each a header byte then its bytes:
//   header & 0x3f   how many bytes follow (cut at the end of the input)
//   header & 0x40   the batch is a status line (verdict), not data
//   header & 0x80   the batch is shown as hex bytes
// The second rendering splits every batch after each byte whose low bits
// match the first input byte.
#include "display.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char *const kNames[32] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};

// The rules, plainly, as copied text (UTF-8).
struct Reference {
    enum class Last { LineStart, Space, Other };
    std::string text;
    bool afterCr = false;
    Last last = Last::LineStart;

    static std::string hex(unsigned char c) {
        const char digits[] = "0123456789ABCDEF";
        return {digits[c >> 4], digits[c & 15]};
    }

    void batch(const std::string &bytes, bool asHex) {
        for (char ch : bytes) {
            const auto c = static_cast<unsigned char>(ch);
            if (asHex) {
                // Two digits a byte, a space between, a line end after each LF.
                if (last == Last::Other) text += ' ';
                text += hex(c);
                last = Last::Other;
                if (c == '\n') {
                    text += '\n';
                    last = Last::LineStart;
                }
                continue;
            }
            if (c == '\r' || (c == '\n' && !afterCr)) {
                text += '\n';
                last = Last::LineStart;
            } else if (c >= 32 && c < 127) {
                text += ch;
                last = c == ' ' ? Last::Space : Last::Other;
            } else if (c != '\n') {
                text += "\u27e8" + (c < 32 ? std::string(kNames[c]) : hex(c)) + "\u27e9";
                last = Last::Other;
            }
            afterCr = c == '\r';
        }
        if (asHex) afterCr = false;
    }
};

struct Batch {
    std::string bytes;
    bool status;
    bool hex;
};

QString render(const std::vector<Batch> &batches) {
    ByteDisplay display;
    Rendered out;
    for (const Batch &b : batches)
        display.render(QByteArray::fromStdString(b.bytes),
                       b.status ? ByteDisplay::Kind::Status : ByteDisplay::Kind::Data, b.hex, out);
    // The runs cover the text exactly, and count its line breaks.
    qsizetype length = 0, breaks = 0;
    for (const Rendered::Run &r : out.runs) {
        length += r.length;
        breaks += r.breaks;
    }
    if (length != out.text.size() || breaks != out.text.count(u'\n') || breaks != out.lineBreaks) {
        std::fprintf(stderr, "fuzz_display: runs do not cover the text\n");
        std::abort();
    }
    // Each character with its look, so that a name cannot pass for plain text.
    QString shown;
    qsizetype at = 0;
    for (const Rendered::Run &r : out.runs) {
        for (qsizetype i = 0; i < r.length; ++i) {
            shown += out.text[at + i];
            shown += QChar(u'0' + int(r.look));
        }
        at += r.length;
    }
    return shown + QChar(0) + copied_text(out);
}

[[noreturn]] void fail(const char *what, const QString &want, const QString &got) {
    std::fprintf(stderr, "fuzz_display: %s\nwant: %s\ngot:  %s\n", what, qPrintable(want),
                 qPrintable(got));
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned splitMask = 3, splitAt = data[0] & splitMask;
    std::vector<Batch> batches, pieces;
    Reference ref;
    for (std::size_t i = 0; i < size;) {
        const std::uint8_t header = data[i++];
        const std::size_t n = std::min<std::size_t>(header & 0x3f, size - i);
        const Batch b{std::string(reinterpret_cast<const char *>(data + i), n),
                      (header & 0x40) != 0, (header & 0x80) != 0};
        i += n;
        batches.push_back(b);
        ref.batch(b.bytes, b.hex && !b.status);
        // The same bytes in other batches: cut after each byte matching splitAt.
        std::string piece;
        for (char c : b.bytes) {
            piece += c;
            if ((static_cast<unsigned char>(c) & splitMask) == splitAt) {
                pieces.push_back({piece, b.status, b.hex});
                piece.clear();
            }
        }
        pieces.push_back({piece, b.status, b.hex});
    }
    const QString whole = render(batches);
    const QString split = render(pieces);
    if (split != whole) fail("another split gives other text", whole, split);
    const QString copied = whole.mid(whole.indexOf(QChar(0)) + 1);
    const QString want = QString::fromStdString(ref.text);
    if (copied != want) fail("copied text differs", want, copied);
    // Long lines of data are broken in the view, so the window need not lay
    // them out (verdict lines are short and never broken).
    for (const Batch &b : batches)
        if (b.status) return 0;
    qsizetype column = 0, longest = 0;
    for (qsizetype i = 0; i < whole.indexOf(QChar(0)); i += 2) {
        column = whole[i] == u'\n' ? 0 : column + 1;
        longest = std::max(longest, column);
    }
    if (longest > 4 * ByteDisplay::kHardRun) fail("a line without end", {}, {});
    return 0;
}
