#pragma once

#include "tally.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// The verdict as the receive window's line shows it ("OK SUM=00560", "ACK"),
// and in words where that window has no line.
QString verdict_text(Verdict v, const QByteArray &sum);

// The CSV of a run, one row per exchange, as the console's 导出 CSV… and the
// probe's --csv write it: UTF-8, rows ending CR LF (RFC 4180).
QByteArray csv_header();
QByteArray csv_row(const Exchange &e);

// A CSV file being written: the byte order mark and the header first, then
// each row as it comes, flushed, so that a run cut short leaves every row so
// far. The mark makes Excel on a Chinese Windows read UTF-8, not GBK.
class CsvFile {
public:
    bool open(const QString &path);
    bool write(const QByteArray &row);
    void close() { file_.close(); }
    bool isOpen() const { return file_.isOpen(); }
    QString path() const { return file_.fileName(); }
    // Why the last open() or write() failed.
    QString errorString() const { return error_; }

private:
    QFile file_;
    QString error_;
};
