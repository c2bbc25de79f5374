#include "sessionlog.h"

#include "readable.h"

#include <QDateTime>

bool SessionLog::start(const QString &path) {
    stop();
    file_.setFileName(path);
    // Appended: starting a log never destroys an earlier one.
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append)) {
        emit failed(path, file_.errorString());
        emit stateChanged();
        return false;
    }
    const QString now = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    const bool ok = put(QStringLiteral("# kestrova-comtest 会话日志 %1：时间\t方向（TX 发送，RX "
                                       "接收）\t十六进制\t可读形式\n")
                            .arg(now)
                            .toUtf8());
    emit stateChanged();
    return ok;
}

void SessionLog::stop() {
    if (!file_.isOpen()) return;
    file_.close();
    emit stateChanged();
}

void SessionLog::write(const char *direction, const QByteArray &bytes) {
    if (!file_.isOpen() || bytes.isEmpty()) return;
    QByteArray line = QDateTime::currentDateTime().toString(u"yyyy-MM-dd hh:mm:ss.zzz").toUtf8();
    line += '\t';
    line += direction;
    line += '\t';
    line += bytes.toHex(' ').toUpper();
    line += '\t';
    line += readable(bytes).toUtf8();
    line += '\n';
    put(line);
}

bool SessionLog::put(const QByteArray &line) {
    if (file_.write(line) == line.size() && file_.flush()) return true;
    const QString reason = file_.errorString();
    const QString path = file_.fileName();
    // Closing discards what could not be written; one message, then silence.
    file_.close();
    emit failed(path, reason);
    emit stateChanged();
    return false;
}
