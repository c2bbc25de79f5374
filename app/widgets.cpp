#include "widgets.h"

#include "messages.h"

#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QTime>
#include <algorithm>
#include <array>
#include <limits>
#include <utility>

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

// ---- PortBox --------------------------------------------------------------

namespace {
constexpr int kDeviceRowRole = Qt::UserRole + 1;
}

PortBox::PortBox(QWidget *parent)
    : SelectionBox(parent), lister_([] { return DeviceAnswers().presentDevices(); }) {
    // The devices come after the sixteen COM rows: show them without scrolling.
    setMaxVisibleItems(24);
}

void PortBox::refreshDevices() {
    const QString text = currentText();
    const QSignalBlocker block(this);
    for (int i = count() - 1; i >= 0; --i)
        if (itemData(i, kDeviceRowRole).toBool()) removeItem(i);
    for (const PresentDevice &d : lister_()) {
        addItem(d.device);
        const int row = count() - 1;
        setItemData(row, true, kDeviceRowRole);
        if (!d.description.isEmpty()) setItemData(row, d.description, Qt::ToolTipRole);
    }
    // Taking rows away and adding them would move the shown row; the text stays.
    setCurrentIndex(findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive));
    setEditText(text);
}

void PortBox::showPopup() {
    refreshDevices();
    SelectionBox::showPopup();
}

// ---- ByteWindow -----------------------------------------------------------

namespace {

constexpr int kLookProperty = QTextFormat::UserProperty;

QTextCharFormat make_format(Look look) {
    QTextCharFormat f;
    switch (look) {
    case Look::Plain:
        break;
    case Look::Name:
        f.setForeground(QColor(0x1a, 0x3c, 0x8c));
        f.setBackground(QColor(0xd9, 0xe4, 0xf7));
        break;
    case Look::Hex:
        f.setForeground(QColor(0x8a, 0x45, 0x00));
        f.setBackground(QColor(0xf8, 0xe4, 0xcc));
        break;
    case Look::Time:
        f.setForeground(QColor(0x70, 0x70, 0x70));
        break;
    case Look::Gap:
        // Set-off tokens next to each other or to text stay apart.
        f.setFontLetterSpacingType(QFont::AbsoluteSpacing);
        f.setFontLetterSpacing(3);
        break;
    }
    if (look != Look::Plain) f.setProperty(kLookProperty, int(look));
    return f;
}

// Made once: building formats per insertion costs more than inserting.
const QTextCharFormat &format_for(Look look) {
    static const std::array<QTextCharFormat, 5> formats{
        make_format(Look::Plain), make_format(Look::Name), make_format(Look::Hex),
        make_format(Look::Time), make_format(Look::Gap)};
    return formats[std::size_t(look)];
}

} // namespace

ByteWindow::ByteWindow(QWidget *parent) : QPlainTextEdit(parent) {
    setUndoRedoEnabled(false); // an undo stack would keep every insertion twice
    setTabChangesFocus(true);  // Tab walks on to the next control, as in every other box
    // The record is the console's: the user reads, selects and copies it.
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setMaximumBlockCount(kMaxLines);
    // Lines wrap where the text allows it: between tokens (display.h).
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    // Fixed pitch keeps frames in columns.
    QFont f = font();
    f.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("WenQuanYi Micro Hei")});
    f.setPointSizeF(f.pointSizeF() * 1.2);
    f.setStyleHint(QFont::TypeWriter);
    setFont(f);
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &ByteWindow::insertSome);
}

void ByteWindow::insert(const QByteArray &bytes) {
    const bool data = allData_ || std::exchange(nextData_, false);
    if (bytes.isEmpty()) return;
    if (data && time_)
        display_.stamp(QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")), pending_);
    display_.render(bytes, data ? ByteDisplay::Kind::Data : ByteDisplay::Kind::Status, hex_,
                    pending_);
    if (pending_.lineBreaks >= kMaxLines + kMaxLines / 8) trimPending();
    arrived_ = true;
    if (!flushTimer_.isActive()) flushTimer_.start(kFlushMs);
}

// Lines that the window would drop at once on insertion are dropped before.
void ByteWindow::trimPending() {
    if (pending_.lineBreaks < kMaxLines) return;
    pending_.dropThroughBreak(pending_.lineBreaks - kMaxLines + 1);
    replaceAll_ = true;
}

void ByteWindow::flush() {
    flushTimer_.stop();
    insertPending(-1);
}

void ByteWindow::insertSome() {
    insertPending(kSliceNs);
}

void ByteWindow::insertPending(qint64 budgetNs) {
    trimPending();
    if (pending_.isEmpty() && !replaceAll_) return;
    // Follow the end, unless the user has scrolled up to read.
    QScrollBar *bar = verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    const int top = bar->value();
    const int before = replaceAll_ ? 0 : document()->blockCount();
    const qsizetype waiting = pending_.lineBreaks;
    QElapsedTimer clock;
    clock.start();
    QTextCursor c(document());
    c.beginEditBlock();
    if (replaceAll_) {
        c.select(QTextCursor::Document);
        c.removeSelectedText();
        replaceAll_ = false;
    }
    c.movePosition(QTextCursor::End);
    qsizetype taken = 0, at = 0;
    for (const Rendered::Run &run : std::as_const(pending_.runs)) {
        c.insertText(pending_.text.sliced(at, run.length), format_for(run.look));
        at += run.length;
        ++taken;
        if (budgetNs >= 0 && (taken & 31) == 0 && clock.nsecsElapsed() > budgetNs) break;
    }
    c.endEditBlock();
    pending_.take(taken);
    const int added = int(waiting - pending_.lineBreaks);
    const int dropped = before + added - document()->blockCount();
    bar->setValue(follow ? bar->maximum() : std::max(0, top - dropped));
    // The rest goes in later: at once if nothing new came meanwhile, else
    // after kFlushMs, so that under a flood the port is read and keys are
    // answered in between, and the window catches up when the flood ends.
    if (!pending_.isEmpty()) flushTimer_.start(arrived_ ? kFlushMs : 0);
    arrived_ = false;
}

QString ByteWindow::readableText(int from, int to) const {
    QString out;
    for (QTextBlock b = document()->findBlock(from); b.isValid() && b.position() <= to;
         b = b.next()) {
        // A line the window broke goes on in the next block.
        if (b.position() > from && !b.previous().text().endsWith(kMadeUpBreak)) out += u'\n';
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment frag = it.fragment();
            const int s = std::max(from, frag.position());
            const int e = std::min(to, frag.position() + frag.length());
            if (s >= e) continue;
            append_copied(out, QStringView(frag.text()).sliced(s - frag.position(), e - s),
                          Look(frag.charFormat().intProperty(kLookProperty)));
        }
    }
    return out;
}

QString ByteWindow::text() {
    flush();
    return readableText(0, document()->characterCount() - 1);
}

QMimeData *ByteWindow::createMimeDataFromSelection() const {
    const QTextCursor c = textCursor();
    auto *data = new QMimeData;
    data->setText(readableText(c.selectionStart(), c.selectionEnd()));
    return data;
}

void ByteWindow::clearWindow() {
    flushTimer_.stop();
    pending_.clear();
    replaceAll_ = false;
    display_.reset();
    nextData_ = false;
    clear();
}

bool ByteWindow::saveTo(const QString &path) {
    QSaveFile f(path);
    if (f.open(QIODevice::WriteOnly) && f.write((text() + u'\n').toUtf8()) >= 0 && f.commit())
        return true;
    emit problem(save_failed_message(path, f.errorString()));
    return false;
}

QString save_path(const QString &typed, const QString &suffix) {
    const QFileInfo file(typed);
    if (!file.suffix().isEmpty() || file.exists() || file.isSymLink()) return typed;
    const QString suffixed = typed + QLatin1Char('.') + suffix;
    return QFileInfo::exists(suffixed) ? typed : suffixed;
}

QFileDialog *save_dialog(QWidget *parent, const QString &title, const QString &filter,
                         const QString &suffix, std::function<void(const QString &)> chosen) {
    // Opened with open(), never exec(): reception goes on while it is up.
    auto *dialog = new QFileDialog(parent, title, QString(), filter);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    // No default suffix: the dialog would add it to any name without one, a
    // device such as /dev/full included, and ask nothing about the result.
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(dialog, &QFileDialog::fileSelected, parent,
                     [suffix, chosen = std::move(chosen)](const QString &typed) {
                         chosen(save_path(typed, suffix));
                     });
    return dialog;
}

void ByteWindow::saveAs() {
    QFileDialog *dialog = save_dialog(
        this, QStringLiteral("另存为文本文件"), QStringLiteral("文本文件 (*.txt);;所有文件 (*)"),
        QStringLiteral("txt"), [this](const QString &path) { saveTo(path); });
    dialog->open();
}

QMenu *ByteWindow::createMenu() {
    flush();
    auto *menu = new QMenu(this);
    QAction *copyAction = menu->addAction(QStringLiteral("复制"), this, &QPlainTextEdit::copy);
    copyAction->setEnabled(textCursor().hasSelection());
    menu->addAction(QStringLiteral("全选"), this, &QPlainTextEdit::selectAll);
    menu->addSeparator();
    menu->addAction(QStringLiteral("清空本窗口"), this, &ByteWindow::clearWindow);
    menu->addAction(QStringLiteral("另存为文本文件…"), this, &ByteWindow::saveAs);
    if (!extras_.isEmpty()) {
        menu->addSeparator();
        menu->addActions(extras_);
    }
    menu->addSeparator();
    QAction *hex = menu->addAction(QStringLiteral("以十六进制显示字节"));
    hex->setCheckable(true);
    hex->setChecked(hex_);
    connect(hex, &QAction::toggled, this, &ByteWindow::setHexView);
    QAction *time = menu->addAction(QStringLiteral("显示到达时间"));
    time->setCheckable(true);
    time->setChecked(time_);
    connect(time, &QAction::toggled, this, &ByteWindow::setTimeView);
    return menu;
}

void ByteWindow::contextMenuEvent(QContextMenuEvent *event) {
    QMenu *menu = createMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos()); // not exec(): no event loop inside the handler
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
