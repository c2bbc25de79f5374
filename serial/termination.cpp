#include "termination.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pipe_[2] = {-1, -1};

// A handler may do almost nothing: hand the number on to the event loop.
extern "C" void on_signal(int signo) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(pipe_[0], &byte, 1);
    errno = saved;
}

} // namespace

TerminationRequests::TerminationRequests(QObject *parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipe_) != 0) return;
    notifier_ = new QSocketNotifier(pipe_[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationRequests::onNotified);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

TerminationRequests::~TerminationRequests() {
    if (!notifier_) return;
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    delete notifier_;
    ::close(pipe_[0]);
    ::close(pipe_[1]);
    pipe_[0] = pipe_[1] = -1;
}

void TerminationRequests::onNotified() {
    unsigned char byte = 0;
    while (::read(pipe_[1], &byte, 1) == 1)
        if (!received_) {
            received_ = byte;
            emit requested(byte);
        }
}
