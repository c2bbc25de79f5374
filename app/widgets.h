#pragma once

#include "display.h"
#include "transaction.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>

// An editable selection box whose text is exactly what the user typed or picked:
// no completion, no re-casing, and Enter adds no row.
class SelectionBox : public QComboBox {
    Q_OBJECT
public:
    explicit SelectionBox(QWidget *parent);
    void appendRows(const QStringList &rows);
};

// A send or receive window: text goes in at the caret, as bytes made visible.
class ByteWindow : public QPlainTextEdit, public TextSink {
    Q_OBJECT
public:
    explicit ByteWindow(QWidget *parent);
    void insert(const QByteArray &bytes) override;

private:
    ByteDisplay display_;
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
