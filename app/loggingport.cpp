#include "loggingport.h"

LoggingPort::LoggingPort(SerialPort *inner, QObject *parent) : SerialPort(parent), inner_(inner) {
    connect(inner_, &SerialPort::comm, this, &SerialPort::comm);
    connect(inner_, &SerialPort::failed, this, &SerialPort::failed);
    connect(inner_, &SerialPort::lineFault, this, &SerialPort::lineFault);
}

void LoggingPort::output(const QByteArray &bytes) {
    inner_->output(bytes);
    emit sent(bytes);
}

QByteArray LoggingPort::input() {
    QByteArray batch = inner_->input();
    if (!batch.isEmpty()) emit received(batch);
    return batch;
}
