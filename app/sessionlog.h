#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>

// The full record of a session: every byte sent and received, one line per
// event, written and flushed as it happens. Plain UTF-8, tab-separated:
//   2024-05-01 12:34:56.789<TAB>TX<TAB>14 30 31 11<TAB>⟨DC4⟩01⟨DC1⟩
// Lines starting with '#' are remarks. On a write error the log stops and
// failed() is sent once; the console carries on without it.
class SessionLog : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // False if the file cannot be opened (failed() has been sent).
    bool start(const QString &path);
    void stop();
    bool isOpen() const { return file_.isOpen(); }
    QString path() const { return file_.fileName(); }

    void sent(const QByteArray &bytes) { write("TX", bytes); }
    void received(const QByteArray &bytes) { write("RX", bytes); }

signals:
    void failed(const QString &path, const QString &reason);
    void stateChanged();

private:
    void write(const char *direction, const QByteArray &bytes);
    bool put(const QByteArray &line);

    QFile file_;
};
