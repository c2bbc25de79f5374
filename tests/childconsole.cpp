#include "childconsole.h"

#include "form1.h"
#include "ptyutil.h"
#include "qtserialport.h"
#include "widgets.h"

#include <QApplication>
#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>
#include <sched.h>
#include <unistd.h>

bool start_child_console(QProcess &child, const ChildConsole &c, QProcessEnvironment env) {
    QByteArray blob;
    QDataStream out(&blob, QIODevice::WriteOnly); // read back in the same order below
    out << c.device << c.com << c.boxes << c.at << c.count << c.verdicts << c.busyMs << c.settleMs
        << c.show << c.strict << c.tellRelease;
    env.insert(QStringLiteral("KC_CHILD_CONSOLE"), QString::fromLatin1(blob.toBase64()));
    child.setProcessEnvironment(env);
    const QString self = QCoreApplication::applicationFilePath();
    if (c.unprivileged && ::geteuid() == 0) {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty()) return false;
        child.start(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", "--", self});
    } else {
        child.start(self, QStringList());
    }
    return true;
}

namespace {

// How this process's release thread is scheduled: "FIFO 10", "RR 10", "OTHER".
QString release_scheduling() {
    const int tid = release_thread_id();
    if (!tid) return QStringLiteral("?");
    sched_param p{};
    ::sched_getparam(tid, &p);
    switch (::sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK) {
    case SCHED_FIFO:
        return QStringLiteral("FIFO %1").arg(p.sched_priority);
    case SCHED_RR:
        return QStringLiteral("RR %1").arg(p.sched_priority);
    default:
        return QStringLiteral("OTHER");
    }
}

} // namespace

std::optional<int> child_console(int argc, char **argv) {
    if (!qEnvironmentVariableIsSet("KC_CHILD_CONSOLE")) return std::nullopt;
    ChildConsole c;
    QDataStream in(QByteArray::fromBase64(qgetenv("KC_CHILD_CONSOLE")));
    in >> c.device >> c.com >> c.boxes >> c.at >> c.count >> c.verdicts >> c.busyMs >> c.settleMs >>
        c.show >> c.strict >> c.tellRelease;
    QApplication app(argc, argv);
    QtSerialPort port(decoy_map(c.com, c.device));
    Form1 w(&port);
    if (c.show) w.show();
    for (const QString &b : c.boxes)
        w.findChild<SelectionBox *>(b.section(u'=', 0, 0))->setEditText(b.section(u'=', 1));
    int released = 0;
    QObject::connect(&port, &SerialPort::comm, [&](int code) { released += code == 1; });
    QMap<QString, int> kinds;
    for (int i = 0; i < c.count; ++i) {
        w.rec->flush();
        const qsizetype from = w.rec->text().size();
        const int before = released;
        (c.at ? w.Command1 : w.cmdtest)->click();
        if (!c.verdicts) continue;
        if (!w.Timer1.isActive()) { // not sent: the message says why
            if (c.strict) return 3;
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
    while (busy.elapsed() < c.busyMs) {
    }
    if (c.settleMs > 0) {
        // A plain event loop: QTest::qWait sleeps between its rounds.
        QEventLoop loop;
        QTimer::singleShot(c.settleMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    QTextStream out(stdout);
    if (c.verdicts) {
        for (auto it = kinds.cbegin(); it != kinds.cend(); ++it)
            out << it.key() << ' ' << it.value() << '\n';
        if (c.tellRelease) out << "release " << release_scheduling() << '\n';
    } else {
        out << "uid=" << ::geteuid() << "\n";
        out << "kind=" << int(port.lastError().kind) << "\n";
        out << "open=" << int(port.portOpen()) << "\n";
        out << "sent=" << int(!w.trs->text().isEmpty()) << "\n";
        out << "waiting=" << int(w.Timer1.isActive()) << "\n";
        out << "message=" << w.lastMessage().replace(QLatin1Char('\n'), QLatin1Char(' ')) << "\n";
    }
    return c.strict && !w.lastMessage().isEmpty() ? 3 : 0;
}
