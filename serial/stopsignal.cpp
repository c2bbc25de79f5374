#include "stopsignal.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pipeFds[2] = {-1, -1};

void on_signal(int signo) {
    const int saved = errno;
    const char c = static_cast<char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &c, 1);
    errno = saved;
}

void set_handler(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    ::sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

} // namespace

StopSignal::StopSignal(QObject *parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeFds) != 0) return;
    notifier_ = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &StopSignal::readPending);
    set_handler(on_signal);
}

StopSignal::~StopSignal() {
    if (!notifier_) return;
    set_handler(SIG_DFL);
    delete notifier_;
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

void StopSignal::readPending() {
    char c = 0;
    while (::read(pipeFds[0], &c, 1) == 1)
        emit stop(static_cast<unsigned char>(c));
}
