#include "realtime.h"

#include "log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QVariant>
#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString kPath = QStringLiteral("/org/freedesktop/RealtimeKit1");
// rtkit may first have to be started by the bus.
constexpr int kTimeoutMs = 3000;

// Not inherited by what the console starts (the simulator, a shell).
constexpr int kPolicy = SCHED_FIFO | SCHED_RESET_ON_FORK;

// False, reason set, where the process may not.
bool direct(pid_t tid, int &priority, QString &reason) {
    priority = std::min(priority, sched_get_priority_max(SCHED_FIFO));
    if (::geteuid() != 0) {
        rlimit rl{};
        if (::getrlimit(RLIMIT_RTPRIO, &rl) != 0 || rl.rlim_cur == 0) {
            reason = QStringLiteral("RLIMIT_RTPRIO 0");
            return false;
        }
        if (rl.rlim_cur != RLIM_INFINITY) priority = std::min(priority, int(rl.rlim_cur));
    }
    const sched_param p{priority};
    if (::sched_setscheduler(tid, kPolicy, &p) == 0) return true;
    reason = qt_error_string(errno);
    return false;
}

QDBusMessage rtkit_call(const QString &interface, const QString &method,
                        const QList<QVariant> &args) {
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, interface, method);
    m.setArguments(args);
    return QDBusConnection::systemBus().call(m, QDBus::Block, kTimeoutMs);
}

// One of rtkit's properties as a number; nothing, reason set, if it does not say.
std::optional<qlonglong> rtkit_property(const QString &name, QString &reason) {
    const QDBusMessage r = rtkit_call(QStringLiteral("org.freedesktop.DBus.Properties"),
                                      QStringLiteral("Get"), {kService, name});
    bool ok = false;
    const qlonglong v = r.type() == QDBusMessage::ReplyMessage && !r.arguments().isEmpty()
                            ? r.arguments().first().value<QDBusVariant>().variant().toLongLong(&ok)
                            : 0;
    if (ok) return v;
    reason = r.errorMessage().isEmpty() ? name : r.errorMessage();
    return std::nullopt;
}

struct RtkitLimits {
    int maxPriority = 0;
};

// rtkit refuses a process that could keep the CPU for longer than it allows.
std::optional<RtkitLimits> rtkit_prepare(QString &reason) {
    if (!QDBusConnection::systemBus().isConnected()) {
        reason = QDBusConnection::systemBus().lastError().message();
        return std::nullopt;
    }
    const auto maxPriority = rtkit_property(QStringLiteral("MaxRealtimePriority"), reason);
    if (!maxPriority) return std::nullopt;
    const auto rttime = rtkit_property(QStringLiteral("RTTimeUSecMax"), reason);
    if (!rttime) return std::nullopt;
    rlimit rl{};
    if (::getrlimit(RLIMIT_RTTIME, &rl) != 0) rl.rlim_max = RLIM_INFINITY;
    if (rl.rlim_max == RLIM_INFINITY || rl.rlim_max > rlim_t(*rttime)) {
        rl.rlim_cur = rl.rlim_max = rlim_t(*rttime);
        if (::setrlimit(RLIMIT_RTTIME, &rl) != 0) {
            reason = qt_error_string(errno);
            return std::nullopt;
        }
    }
    return RtkitLimits{int(*maxPriority)};
}

bool rtkit(pid_t tid, int &priority, const RtkitLimits &limits, QString &reason) {
    priority = std::min(priority, limits.maxPriority);
    const QDBusMessage r =
        rtkit_call(kService, QStringLiteral("MakeThreadRealtimeWithPID"),
                   {QVariant::fromValue(quint64(::getpid())), QVariant::fromValue(quint64(tid)),
                    QVariant::fromValue(quint32(priority))});
    if (r.type() == QDBusMessage::ReplyMessage) return true;
    reason = r.errorMessage();
    return false;
}

} // namespace

Realtime make_realtime(pid_t tid, int wanted) {
    // The way found for the first thread, why none was, and rtkit's limits.
    static std::mutex mutex;
    static std::optional<Realtime::Way> way;
    static QString failure;
    static RtkitLimits limits;
    std::lock_guard lock(mutex);

    Realtime r{Realtime::None, wanted, {}};
    if (!way || *way == Realtime::Direct) {
        if (direct(tid, r.priority, r.reason)) {
            way = r.way = Realtime::Direct;
            return r;
        }
        qCDebug(lcSerial, "SCHED_FIFO refused (%s)", qPrintable(r.reason));
        if (way) return {Realtime::None, 0, r.reason};
    }
    if (!way) {
        if (const auto l = rtkit_prepare(r.reason)) {
            limits = *l;
            way = Realtime::Rtkit;
        }
    }
    if (way == Realtime::Rtkit) {
        r.priority = wanted;
        if (rtkit(tid, r.priority, limits, r.reason)) {
            r.way = Realtime::Rtkit;
            return r;
        }
    }
    if (way != Realtime::None) {
        qCDebug(lcSerial, "rtkit: %s", qPrintable(r.reason));
        way = Realtime::None;
        failure = r.reason;
    }
    return {Realtime::None, 0, failure};
}
