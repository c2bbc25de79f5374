#pragma once

#include <QProcess>
#include <QStringList>

// The real Wireshark command line on a capture, with the shipped dissector
// (its path in KC_DISSECTOR): one row per packet, the fields tab-separated.
// Both passes, so a request shows the verdict of the reply that came after.
// A dissector that throws shows "Lua Error" in the verbose text; it is
// returned as the only row, so no comparison can pass over it.
inline QList<QStringList> tshark_rows(const QString &capture, const QStringList &fields) {
    const QStringList common{"-n", "-2", "-X", "lua_script:" KC_DISSECTOR, "-r", capture};
    QProcess verbose;
    verbose.start(QStringLiteral("tshark"), common + QStringList{"-V"});
    if (!verbose.waitForFinished(60000)) return {{QStringLiteral("tshark did not end")}};
    const QByteArray tree = verbose.readAllStandardOutput() + verbose.readAllStandardError();
    if (tree.contains("Lua Error") || verbose.exitCode() != 0)
        return {{QString::fromUtf8(tree.right(2000))}};
    QStringList args = common + QStringList{"-T", "fields", "-E", "occurrence=f"};
    for (const QString &f : fields)
        args << QStringLiteral("-e") << f;
    QProcess p;
    p.start(QStringLiteral("tshark"), args);
    if (!p.waitForFinished(60000) || p.exitCode() != 0) return {{QStringLiteral("tshark failed")}};
    QList<QStringList> rows;
    for (const QByteArray &line : p.readAllStandardOutput().split('\n'))
        if (!line.isEmpty()) rows << QString::fromUtf8(line).split(QLatin1Char('\t'));
    return rows;
}
