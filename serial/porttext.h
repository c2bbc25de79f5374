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
        Bad,     // looks like an address ("scheme://...") but cannot be used
    };
    // Why a Bad text cannot be used.
    enum Problem {
        NoProblem,
        UnknownScheme, // neither rfc2217:// nor socket://
        NoHost,
        BadHost,
        NoPort,
        PortRange, // not a number from 1 to 65535
        UserPart,  // "user@host": nobody would log in
        Extra,     // a path, a query or a fragment after the port
    };
    Kind kind = Other;
    Problem problem = NoProblem; // Bad
    int number = 0;              // Com
    QString host;                // Rfc2217, Raw
    quint16 port = 0;

    bool network() const { return kind == Rfc2217 || kind == Raw; }
};

// "COMn" is matched exactly: case, spaces and every character count. A scheme
// is matched as URLs have it, whatever its case.
PortText port_text_of(const QString &text);
