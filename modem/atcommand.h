#pragma once

#include "serialport.h"

#include <QString>
#include <functional>

struct AtOutcome {
    enum Status { Sent, NotAscii, PortFailed };
    Status status = Sent;
    PortError portError{};
};

// The AT command line: the box's text as typed, then CR LF, shown and written
// in one write, the direction line released after it as `signal` names it.
// Text outside ASCII has no form on the line and is refused first.
AtOutcome send_at_command(SerialPort &port, const QString &command, const QString &settings,
                          const QString &signal,
                          const std::function<void(const QByteArray &)> &show);
