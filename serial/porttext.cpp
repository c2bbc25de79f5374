#include "porttext.h"

#include <QRegularExpression>
#include <QUrl>

namespace {

PortText bad(PortText::Problem p) {
    PortText t;
    t.kind = PortText::Bad;
    t.problem = p;
    return t;
}

// "HOST:PORT" after the scheme, nothing more.
PortText network_address(PortText::Kind kind, const QString &rest) {
    const qsizetype end = rest.indexOf(QRegularExpression(QStringLiteral("[/?#]")));
    if (end >= 0) return bad(PortText::Extra);
    if (rest.contains(QLatin1Char('@'))) return bad(PortText::UserPart);
    QString host;
    QString port;
    bool colon = false;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0) return bad(PortText::BadHost);
        host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':'))) return bad(PortText::BadHost);
        colon = !after.isEmpty();
        port = after.mid(1);
    } else {
        const qsizetype c = rest.lastIndexOf(QLatin1Char(':'));
        colon = c >= 0;
        host = colon ? rest.left(c) : rest;
        port = colon ? rest.mid(c + 1) : QString();
    }
    if (host.isEmpty()) return bad(PortText::NoHost);
    QUrl url;
    url.setHost(host, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) return bad(PortText::BadHost);
    if (!colon || port.isEmpty()) return bad(PortText::NoPort);
    // ASCII digits only: toUInt() alone would take "+80" and " 80".
    for (const QChar c : port)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return bad(PortText::PortRange);
    const uint n = port.size() <= 5 ? port.toUInt() : 0;
    if (n < 1 || n > 65535) return bad(PortText::PortRange);
    PortText t;
    t.kind = kind;
    t.host = url.host();
    t.port = quint16(n);
    return t;
}

} // namespace

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
    // RFC 3986's scheme: a letter, then letters, digits, "+", "-" and ".".
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://"));
    const QRegularExpressionMatch m = scheme.match(text);
    if (!m.hasMatch()) return t;
    const QString name = m.captured(1).toLower();
    const QString rest = text.mid(m.capturedEnd());
    if (name == QLatin1String("rfc2217")) return network_address(PortText::Rfc2217, rest);
    if (name == QLatin1String("socket")) return network_address(PortText::Raw, rest);
    return bad(PortText::UnknownScheme);
}
