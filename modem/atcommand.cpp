#include "atcommand.h"

#include "preparation.h"

AtOutcome send_at_command(SerialPort &port, const QString &command, const QString &settings,
                          const std::function<void(const QByteArray &)> &show) {
    for (QChar c : command)
        if (c.unicode() > 127) return {AtOutcome::NotAscii, {}};
    if (!at_preparation(port, settings)) return {AtOutcome::PortFailed, port.lastError()};
    const QByteArray line = command.toLatin1() + "\r\n";
    show(line);
    port.output(line);
    return {};
}
