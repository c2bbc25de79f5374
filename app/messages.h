#pragma once

#include "frame.h"
#include "serialport.h"

#include <QString>

// The user's messages, in the console's language.
QString port_message(const PortError &e);
QString broken_message(const PortError &e);
// caption: the label of the box that holds the text.
QString refusal_message(const FrameRefusal &r, const QString &caption);
QString at_not_ascii_message(const QString &command);
