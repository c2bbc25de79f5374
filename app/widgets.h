#pragma once

#include "device.h"
#include "display.h"
#include "transaction.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>
#include <functional>

class QFileDialog;
class QMenu;
class QMimeData;

// Where a save goes: the path as typed; a name without a suffix gets `suffix`
// only if neither it nor the name with the suffix exists (/dev/full stays).
QString save_path(const QString &typed, const QString &suffix);

// A dialog asking where to save, to be opened with open(); it deletes itself
// and hands the chosen save_path() to `chosen`.
QFileDialog *save_dialog(QWidget *parent, const QString &title, const QString &filter,
                         const QString &suffix, std::function<void(const QString &)> chosen);

// An editable selection box whose text is exactly what the user typed or picked:
// no completion, no re-casing, and Enter adds no row.
class SelectionBox : public QComboBox {
    Q_OBJECT
public:
    explicit SelectionBox(QWidget *parent);
    void appendRows(const QStringList &rows);
};

// The port box: its own rows ("COM1" to "COM16") first, then one row for each
// serial device present, its path as the text and the adapter's own words as
// the tooltip. The device rows are read again each time the list opens:
// adapters come and go.
class PortBox : public SelectionBox {
    Q_OBJECT
public:
    using Lister = std::function<QList<PresentDevice>()>;
    explicit PortBox(QWidget *parent);
    // Where the present devices come from (the system's list by default).
    void setLister(Lister lister) { lister_ = std::move(lister); }
    void refreshDevices();
    void showPopup() override;

private:
    Lister lister_;
};

// A send or receive window: a read-only, bounded record that text is only
// ever appended to, at the end, whatever the user clicked or selected.
// Insertions are rendered at once but reach the document at most every
// kFlushMs, in one edit, so a flood costs one layout per interval; lines the
// window would drop anyway never reach it. A long insertion is done in
// slices, with the waiting events served in between.
class ByteWindow : public QPlainTextEdit, public TextSink {
    Q_OBJECT
public:
    static constexpr int kMaxLines = 20000;
    static constexpr int kFlushMs = 30;
    static constexpr qint64 kSliceNs = 8'000'000; // longest insertion before events are served

    explicit ByteWindow(QWidget *parent);
    void insert(const QByteArray &bytes) override;

    // Every insertion is data (the send window), or only the one after
    // nextIsData() (a received batch); the rest are status lines.
    void setAllData(bool on) { allData_ = on; }
    void nextIsData() { nextData_ = true; }
    // View settings for what arrives from then on.
    void setHexView(bool on) { hex_ = on; }
    void setTimeView(bool on) { time_ = on; }
    bool hexView() const { return hex_; }
    bool timeView() const { return time_; }
    // Entries the owner adds to the context menu.
    void setMenuExtras(const QList<QAction *> &actions) { extras_ = actions; }

    void flush();
    // The whole text as copying gives it (⟨STX⟩ for the name STX), pending text included.
    QString text();
    void clearWindow();
    bool saveTo(const QString &path);
    QMenu *createMenu();

signals:
    void problem(const QString &message);

protected:
    QMimeData *createMimeDataFromSelection() const override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    QString readableText(int from, int to) const;
    void trimPending();
    void insertSome();
    void insertPending(qint64 budgetNs); // all if budgetNs < 0
    void saveAs();

    ByteDisplay display_;
    Rendered pending_;
    bool replaceAll_ = false; // pending text alone fills the window
    bool arrived_ = false;    // text came since the last insertion
    QTimer flushTimer_;
    bool allData_ = false;
    bool nextData_ = false;
    bool hex_ = false;
    bool time_ = false;
    QList<QAction *> extras_;
};

class LinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit LinkLabel(QWidget *parent);
signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};
