#include "ptyutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

Pty::Pty() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
        master_ = -1;
        return;
    }
    // Raw on both sides: the bytes must pass unchanged.
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    slaveKeep_ = slave;
    slavePath_ = QString::fromLocal8Bit(name);
}

Pty::~Pty() {
    if (slaveKeep_ >= 0) ::close(slaveKeep_);
    closeMaster();
}

void Pty::closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

void Pty::releaseSlave() {
    if (slaveKeep_ >= 0) ::close(slaveKeep_);
    slaveKeep_ = -1;
}

QByteArray Pty::read(int atLeast, int timeoutMs) {
    QByteArray out;
    QElapsedTimer t;
    t.start();
    for (;;) {
        char buf[4096];
        const ssize_t n = master_ >= 0 ? ::read(master_, buf, sizeof buf) : -1;
        if (n > 0) {
            out.append(buf, n);
            continue;
        }
        if (out.size() >= atLeast || t.elapsed() > timeoutMs) return out;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

void Pty::write(const QByteArray &bytes) {
    qsizetype done = 0;
    while (master_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (errno != EAGAIN && errno != EINTR)
            return;
    }
}

namespace {

Pty &decoy() {
    static Pty pty;
    return pty;
}

} // namespace

PortMap decoy_map() {
    PortMap map;
    for (int n = 1; n <= 16; ++n)
        map.map(n, decoy().slavePath());
    return map;
}

PortMap decoy_map(int com, const QString &device) {
    PortMap map = decoy_map();
    map.map(com, device);
    return map;
}

QStringList decoy_com_args() {
    QStringList args;
    for (int n = 1; n <= 16; ++n)
        args << QStringLiteral("--com") << QStringLiteral("%1=%2").arg(n).arg(decoy().slavePath());
    return args;
}

QByteArray decoy_received() {
    return decoy().read(0, 0);
}

int release_thread_id() {
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "kc-release")
            return tid.toInt();
    }
    return 0;
}
