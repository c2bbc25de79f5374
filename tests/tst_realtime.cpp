// Real-time priority for the release thread as the user running the console
// gets it: root directly, an ordinary user (nobody) from a real rtkit-daemon
// on a private system bus (scripts/unprivileged.sh), and that user without
// rtkit, who is told once that a release may come late.
#include "form1.h"
#include "ptyutil.h"
#include "qtserialport.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <sched.h>

namespace {

// A serial device with RTS, played over a pseudo-terminal: a pty has no line
// to release late, and is told nothing.
class WiredDevice : public DeviceAnswers {
public:
    bool pseudoTerminal(int) const override { return false; }
    bool setModemLine(int, LineLevel) const override { return true; }
};

QString policy_name(int policy) {
    switch (policy & ~SCHED_RESET_ON_FORK) {
    case SCHED_FIFO:
        return QStringLiteral("FIFO");
    case SCHED_RR:
        return QStringLiteral("RR");
    case SCHED_OTHER:
        return QStringLiteral("OTHER");
    default:
        return QString::number(policy);
    }
}

// The child: one TEST with RTS=0 to its release; prints the release thread's
// scheduling and what the window said.
int run_child(int argc, char **argv) {
    QApplication app(argc, argv);
    Pty pty;
    PortMap map = decoy_map();
    map.map(1, pty.slavePath());
    QtSerialPort port(map, std::make_unique<WiredDevice>());
    Form1 w(&port);
    w.Combo2->setEditText(QStringLiteral("9600,n,8,1"));
    w.Combo3->setEditText(QStringLiteral("RTS=0"));
    QSignalSpy comm(&port, &SerialPort::comm);
    w.cmdtest->click();
    if (!QTest::qWaitFor([&] { return comm.contains(QList<QVariant>{1}); }, 5000)) return 4;
    QTest::qWait(200); // a queued note
    QTextStream out(stdout);
    if (const int tid = release_thread_id()) {
        sched_param p{};
        ::sched_getparam(tid, &p);
        const int policy = ::sched_getscheduler(tid);
        out << "policy=" << policy_name(policy)
            << " reset=" << int(!!(policy & SCHED_RESET_ON_FORK))
            << " priority=" << p.sched_priority << "\n";
    }
    out << "uid=" << ::geteuid() << "\n";
    out << "message=" << w.lastMessage().replace(QLatin1Char('\n'), QLatin1Char(' ')) << "\n";
    return 0;
}

// Whether this process holds CAP_SYS_NICE (bit 23 of CapEff).
bool has_sys_nice() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("CapEff:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> 23) & 1;
    return false;
}

} // namespace

class TestRealtime : public QObject {
    Q_OBJECT
private slots:
    void releaseThread_data();
    void releaseThread();
};

void TestRealtime::releaseThread_data() {
    QTest::addColumn<QStringList>("as"); // the command before the child's; empty: root itself
    QTest::addColumn<QString>("policy");
    QTest::addColumn<QString>("told"); // part of the note, empty: none
    const QString script = QStringLiteral(KC_UNPRIVILEGED);
    QTest::newRow("root: SCHED_FIFO") << QStringList() << "policy=FIFO reset=1 priority=10"
                                      << "";
    // rtkit's own policy, and no more than the priority asked for.
    QTest::newRow("nobody, rtkit")
        << QStringList{script, "--rtkit", "--"} << "policy=RR reset=1 priority=10"
        << "";
    QTest::newRow("nobody, no rtkit: told")
        << QStringList{script, "--"} << "policy=OTHER reset=0 priority=0"
        << u"没有获得实时调度优先级"_qs;
}

void TestRealtime::releaseThread() {
    QFETCH(QStringList, as);
    QFETCH(QString, policy);
    QFETCH(QString, told);
    if (::geteuid() != 0) QSKIP("needs root: to be root, and to run as user nobody");
    // In a container without CAP_SYS_NICE neither root nor rtkit can grant it.
    if (!policy.contains(QLatin1String("OTHER")) && !has_sys_nice())
        QSKIP("no CAP_SYS_NICE here: nobody on this machine can grant real-time priority");
    // A copy nobody can reach, whatever the build directory's permissions.
    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ReadOther |
                                                  QFile::ExeOther));
    const QString self = dir.filePath(QStringLiteral("tst_realtime"));
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), self));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KC_RT_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    if (as.isEmpty())
        child.start(self, QStringList());
    else
        child.start(as.first(), as.mid(1) + QStringList{self});
    QVERIFY(child.waitForFinished(60000));
    const QString out = QString::fromUtf8(child.readAllStandardOutput());
    const QString err = QString::fromUtf8(child.readAllStandardError());
    if (child.exitCode() == 77) QSKIP(qPrintable(err));
    QVERIFY2(child.exitCode() == 0, qPrintable(err));
    qInfo("%s", qPrintable(out.trimmed().replace(QLatin1Char('\n'), QLatin1String("; "))));
    QVERIFY2(out.contains(policy + QLatin1Char('\n')), qPrintable(out + err));
    QVERIFY2(out.contains(QStringLiteral("uid=%1\n").arg(as.isEmpty() ? 0 : 65534)),
             qPrintable(out));
    QCOMPARE(out.endsWith(QStringLiteral("message=\n")), told.isEmpty());
    if (told.isEmpty()) return;
    // In the window, naming what helps, and on standard error.
    QVERIFY2(out.contains(told), qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("rtkit")) && out.contains(QStringLiteral("rtprio")),
             qPrintable(out));
    QVERIFY2(err.contains(told), qPrintable(err));
    QCOMPARE(err.count(told), 1);
}

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsSet("KC_RT_CHILD")) return run_child(argc, argv);
    QApplication app(argc, argv);
    TestRealtime t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_realtime.moc"
