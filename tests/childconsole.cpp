#include "childconsole.h"

#include "form1.h"
#include "ptyutil.h"
#include "qtserialport.h"
#include "widgets.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>
#include <unistd.h>

namespace {

int flag(const char *name) {
    return qEnvironmentVariableIntValue(name);
}

} // namespace

bool start_child_console(QProcess &child, const ChildConsole &c, QProcessEnvironment env) {
    env.insert(QStringLiteral("KC_CHILD_DEVICE"), c.device);
    env.insert(QStringLiteral("KC_CHILD_COM"), QString::number(c.com));
    env.insert(QStringLiteral("KC_CHILD_BOXES"), c.boxes.join(u'|'));
    env.insert(QStringLiteral("KC_CHILD_AT"), QString::number(c.at));
    env.insert(QStringLiteral("KC_CHILD_COUNT"), QString::number(c.count));
    env.insert(QStringLiteral("KC_CHILD_VERDICTS"), QString::number(c.verdicts));
    env.insert(QStringLiteral("KC_CHILD_BUSY_MS"), QString::number(c.busyMs));
    env.insert(QStringLiteral("KC_CHILD_SETTLE_MS"), QString::number(c.settleMs));
    env.insert(QStringLiteral("KC_CHILD_SHOW"), QString::number(c.show));
    env.insert(QStringLiteral("KC_CHILD_STRICT"), QString::number(c.strict));
    child.setProcessEnvironment(env);
    const QString self = QCoreApplication::applicationFilePath();
    if (!c.unprivileged || ::geteuid() != 0) {
        child.start(self, QStringList());
        return true;
    }
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty()) return false;
    child.start(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", "--", self});
    return true;
}

std::optional<int> child_console(int argc, char **argv) {
    if (!qEnvironmentVariableIsSet("KC_CHILD_DEVICE")) return std::nullopt;
    QApplication app(argc, argv);
    PortMap map = decoy_map();
    map.map(flag("KC_CHILD_COM"), qEnvironmentVariable("KC_CHILD_DEVICE"));
    QtSerialPort port(map);
    Form1 w(&port);
    if (flag("KC_CHILD_SHOW")) w.show();
    for (const QString &b : qEnvironmentVariable("KC_CHILD_BOXES").split(u'|', Qt::SkipEmptyParts))
        w.findChild<SelectionBox *>(b.section(u'=', 0, 0))->setEditText(b.section(u'=', 1));
    const bool verdicts = flag("KC_CHILD_VERDICTS");
    const bool strict = flag("KC_CHILD_STRICT");
    int released = 0;
    QObject::connect(&port, &SerialPort::comm, [&](int code) { released += code == 1; });
    QMap<QString, int> kinds;
    for (int i = 0; i < flag("KC_CHILD_COUNT"); ++i) {
        w.rec->flush();
        const qsizetype from = w.rec->text().size();
        const int before = released;
        (flag("KC_CHILD_AT") ? w.Command1 : w.cmdtest)->click();
        if (!verdicts) continue;
        if (!w.Timer1.isActive()) { // not sent: the message says why
            if (strict) return 3;
            ++kinds[QStringLiteral("unsent")];
            continue;
        }
        // Until the verdict or the time-out, and the release of this frame.
        while (w.Timer1.isActive() || released == before)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        w.rec->flush();
        const QString added = w.rec->text().mid(from);
        ++kinds[added.contains(QLatin1String("OK SUM=")) ? QStringLiteral("ok")
                : added.trimmed().isEmpty()              ? QStringLiteral("none")
                                                         : QStringLiteral("cut")];
    }
    QElapsedTimer busy;
    busy.start();
    while (busy.elapsed() < flag("KC_CHILD_BUSY_MS")) {
    }
    if (const int ms = flag("KC_CHILD_SETTLE_MS")) {
        // A plain event loop: QTest::qWait sleeps between its rounds.
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
    QTextStream out(stdout);
    if (verdicts) {
        for (auto it = kinds.cbegin(); it != kinds.cend(); ++it)
            out << it.key() << ' ' << it.value() << '\n';
    } else {
        out << "uid=" << ::geteuid() << "\n";
        out << "kind=" << int(port.lastError().kind) << "\n";
        out << "open=" << int(port.portOpen()) << "\n";
        out << "sent=" << int(!w.trs->text().isEmpty()) << "\n";
        out << "waiting=" << int(w.Timer1.isActive()) << "\n";
        out << "message=" << w.lastMessage().replace(QLatin1Char('\n'), QLatin1Char(' ')) << "\n";
    }
    return strict && !w.lastMessage().isEmpty() ? 3 : 0;
}
