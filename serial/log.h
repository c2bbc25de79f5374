#pragma once

#include <QLoggingCategory>

// Diagnostics of the serial component, for standard error (QT_LOGGING_RULES filters them).
Q_DECLARE_LOGGING_CATEGORY(lcSerial)
