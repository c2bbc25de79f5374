#pragma once

#include "frame.h"
#include "serialport.h"

#include <QString>

// The user's messages, in the console's language, for the console and the probe.
QString port_message(const PortError &e);
QString broken_message(const PortError &e);
// source names where the text came from ("“仪表地址”框中的文本", "--address 的值").
QString refusal_message(const FrameRefusal &r, const QString &source);
QString at_not_ascii_message(const QString &command);
QString save_failed_message(const QString &path, const QString &reason);
QString log_failed_message(const QString &path, const QString &reason);
QString capture_failed_message(const QString &path, const QString &reason);
