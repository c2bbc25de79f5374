#include "porttext.h"

#include "serialport.h"

#include <QUrl>

PortText port_text_of(const QString &text) {
    PortText t;
    for (int n = 1; n <= 16; ++n)
        if (text == QStringLiteral("COM%1").arg(n)) {
            t.kind = PortText::Com;
            t.number = n;
            return t;
        }
    if (text.startsWith(QLatin1Char('/'))) {
        t.kind = PortText::Device;
        return t;
    }
    PortText::Kind kind = PortText::Other;
    if (text.startsWith(QLatin1String("rfc2217://")))
        kind = PortText::Rfc2217;
    else if (text.startsWith(QLatin1String("socket://")))
        kind = PortText::Raw;
    else
        return t;
    const QUrl url(text, QUrl::StrictMode);
    // Only the host and the port: a path, a query or a user would be silently ignored.
    if (!url.isValid() || url.host().isEmpty() || url.port() <= 0 || !url.path().isEmpty() ||
        url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty())
        return t;
    t.kind = kind;
    t.host = url.host();
    t.port = quint16(url.port());
    return t;
}

void SerialPort::setPortText(const QString &text) {
    if (const PortText t = port_text_of(text); t.kind == PortText::Com) setPortNumber(t.number);
}
