#include "widgets.h"

#include <QLineEdit>
#include <QMouseEvent>
#include <limits>

// ---- SelectionBox ---------------------------------------------------------

SelectionBox::SelectionBox(QWidget *parent) : QComboBox(parent) {
    setEditable(true);
    // Without a completer nothing completes the typed text, and Qt matches it
    // against the rows case-sensitively ("lnkctrl" stays "lnkctrl").
    setCompleter(nullptr);
    setInsertPolicy(QComboBox::NoInsert);
    // QLineEdit would cut a longer text at 32767 characters without a word,
    // and a different frame would go out than the one typed.
    lineEdit()->setMaxLength(std::numeric_limits<int>::max());
}

void SelectionBox::appendRows(const QStringList &rows) {
    // Adding the first row makes Qt show it; the box keeps its own text.
    const QString text = currentText();
    const QSignalBlocker block(this);
    addItems(rows);
    setCurrentIndex(-1);
    setEditText(text);
}

// ---- ByteWindow -----------------------------------------------------------

ByteWindow::ByteWindow(QWidget *parent) : QPlainTextEdit(parent) {
    setUndoRedoEnabled(false); // an undo stack would keep every insertion twice
    setTabChangesFocus(true);  // Tab walks on to the next control, as in every other box
    // Frames have no word boundaries worth keeping; fill each line.
    setWordWrapMode(QTextOption::WrapAnywhere);
    // Fixed pitch keeps frames in columns; the symbol font draws the control pictures.
    QFont f = font();
    f.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Symbola"),
                   QStringLiteral("WenQuanYi Micro Hei")});
    f.setPointSizeF(f.pointSizeF() * 1.2);
    f.setStyleHint(QFont::TypeWriter);
    setFont(f);
}

void ByteWindow::insert(const QByteArray &bytes) {
    QString text = display_.render(bytes);
    if (text.isEmpty()) return;
    // At the caret, never over a selection: the console only adds text.
    QTextCursor c(document());
    c.setPosition(textCursor().position());
    // A device that never sends a line break would grow one paragraph without
    // end, and laying it out again at every insertion costs its whole length.
    // Runs longer than any frame or reply are broken; the window wraps anyway.
    constexpr int kLongestRun = 256;
    int col = c.positionInBlock();
    QString broken;
    broken.reserve(text.size() + text.size() / kLongestRun + 1);
    for (QChar ch : text) {
        if (ch == QLatin1Char('\n')) {
            col = 0;
        } else if (col >= kLongestRun) {
            broken += QLatin1Char('\n');
            col = 1;
        } else {
            ++col;
        }
        broken += ch;
    }
    c.insertText(broken);
    setTextCursor(c);
}

// ---- LinkLabel ------------------------------------------------------------

LinkLabel::LinkLabel(QWidget *parent) : QLabel(parent) {
    setCursor(Qt::PointingHandCursor);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QLabel::mouseReleaseEvent(event);
}
