#pragma once

#include <QString>

// What the text of the port box chooses.
struct PortText {
    enum Kind {
        Other,   // none of the forms below: the port stays as it was
        Com,     // "COM1" to "COM16", through the --com mappings
        Device,  // a device path such as "/dev/ttyUSB0"
        Rfc2217, // "rfc2217://HOST:PORT", telnet with the COM-PORT-OPTION
        Raw,     // "socket://HOST:PORT", bytes as they are
    };
    Kind kind = Other;
    int number = 0; // Com
    QString host;   // Rfc2217, Raw
    quint16 port = 0;

    bool network() const { return kind == Rfc2217 || kind == Raw; }
};

// The exact text decides, as for "COMn": case, spaces and every character count.
PortText port_text_of(const QString &text);
