#include "portmap.h"

QString PortMap::device(int n) const {
    const auto it = devices_.find(n);
    if (it != devices_.end()) return *it;
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
}

bool PortMap::add(const QString &option) {
    const qsizetype eq = option.indexOf(QLatin1Char('='));
    if (eq <= 0 || eq == option.size() - 1) return false;
    // "1=/dev/ttyUSB0" or, as the port box names it, "COM1=/dev/ttyUSB0".
    QString name = option.left(eq);
    if (name.startsWith(QLatin1String("COM"))) name.remove(0, 3);
    bool ok = false;
    const int n = name.toInt(&ok);
    if (!ok || n < 1 || n > 16) return false;
    map(n, option.mid(eq + 1));
    return true;
}
