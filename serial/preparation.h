#pragma once

#include "serialport.h"

#include <QStringList>

// The send threshold both preparations set. The component sends event code 1
// only once everything written has left the wire, whatever the threshold.
inline constexpr int kSendThreshold = 5;

// The direction choices, in the order they are compared.
QStringList direction_texts();

// Port number n for the exact text "COMn" (n = 1..16), 0 for any other text.
int port_number_of(const QString &text);

// Before a TEST, on a port that is opened anew: close, choose the port,
// reopen, apply the settings, the driver's RS-485 mode on for "RS485" and off
// otherwise, empty the buffers and set the thresholds. False at the first
// failing step. Whether a port is opened anew or kept is the port session's.
bool test_preparation(SerialPort &port, const QString &portText, const QString &settings,
                      const QString &signal);
// On a port kept open: the settings and the RS-485 mode again, then the same
// buffer and threshold steps.
bool reset_preparation(SerialPort &port, const QString &settings, const QString &signal);
// On a port kept open that holds its settings: the buffer and threshold steps
// alone, so nothing left of the last exchange is read for this one.
void purge_preparation(SerialPort &port);

// Before an AT command: open only if closed (settings first), then the same
// buffer and threshold steps. An open port keeps its number and settings.
bool at_preparation(SerialPort &port, const QString &settings);

// The direction line around a write. The raise sets the send level now,
// before the write; the port sets the receive level itself the moment the
// write has left the wire, before its event code 1, on the line and at the
// level the signal text names here. A text that names no row, and "RS485"
// (the driver switches), drive no line.
void raise(SerialPort &port, const QString &signal);
// The release alone, for a write that no raise precedes (an AT command line).
void release_after_write(SerialPort &port, const QString &signal);
// The receive level at once, for an exchange cut short.
void release(SerialPort &port, const QString &signal);

// The level at which the direction line named by `signal` lets the converter
// receive, for a port that only listens: the release column, and RTS off for
// "RS485" (the driver's mode holds it so between sends); nothing for a text
// that names no row.
std::optional<LineLevel> receive_level(const QString &signal);
