#pragma once

#include "frame.h"
#include "serialport.h"

#include <QString>

// The user's messages, in the console's language.
QString port_message(const PortError &e);
QString broken_message(const PortError &e);
QString refusal_message(const FrameRefusal &r);
QString at_not_ascii_message(const QString &command);
QString save_failed_message(const QString &path, const QString &reason);
QString log_failed_message(const QString &path, const QString &reason);
