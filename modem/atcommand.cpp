#include "atcommand.h"

#include "linetext.h"
#include "preparation.h"

AtOutcome send_at_command(SerialPort &port, const QString &command, const QString &settings,
                          const QString &signal,
                          const std::function<void(const QByteArray &)> &show) {
    const auto bytes = line_bytes(command);
    if (!bytes) return {AtOutcome::NotAscii, {}};
    if (!at_preparation(port, settings)) return {AtOutcome::PortFailed, port.lastError()};
    const QByteArray line = *bytes + "\r\n";
    show(line);
    release_after_write(port, signal);
    port.output(line);
    return {};
}
