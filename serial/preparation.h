#pragma once

#include "serialport.h"

#include <QStringList>

// Event code 1 is due once fewer than this many characters wait to be sent.
inline constexpr int kSendThreshold = 5;

// The direction choices, in the order they are compared.
QStringList direction_texts();

// Port number n for the exact text "COMn" (n = 1..16), 0 for any other text.
int port_number_of(const QString &text);

// Before a TEST: close, choose the port, reopen, apply the settings, empty the
// buffers and set the thresholds. False at the first failing step.
bool test_preparation(SerialPort &port, const QString &portText, const QString &settings);

// Before each exchange of a run that keeps its port: open only if closed
// (then as test_preparation), apply the settings unless the open port holds
// them already, then the same buffer and threshold steps, so nothing left of
// the last exchange is read for this one.
bool kept_port_preparation(SerialPort &port, const QString &portText, const QString &settings,
                           bool settingsHeld);

// Before an AT command: open only if closed (settings first), then the same
// buffer and threshold steps. An open port keeps its number and settings.
bool at_preparation(SerialPort &port, const QString &settings);

// The direction line around a write: raise before, release on event code 1.
// A signal text that names no row drives nothing.
void raise(SerialPort &port, const QString &signal);
void release(SerialPort &port, const QString &signal);
