#pragma once

#include "frame.h"
#include "serialport.h"

#include <QString>

// What the probe tells the user on standard error, in the console's language.
QString port_message(const PortError &e);
QString broken_message(const PortError &e);
QString unheld_message(const QString &settings, const QString &device, const QStringList &parts);
QString refusal_message(const FrameRefusal &r);
