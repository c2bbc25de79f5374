// Preloaded into a console under test: records, with CLOCK_MONOTONIC times,
// every write() to a terminal and every modem-line ioctl, into the file named
// by KC_LINE_LOG. A pseudo-terminal has no modem lines; here setting them
// succeeds, as on a serial port, so the release can be timed on the ioctl.
//
//   write FD COUNT NS      after the write returned
//   bis|bic|set FD BITS NS before the ioctl
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static int modem_bits; // the lines as set through this shim

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void record(const char *what, int fd, long long value, long long ns) {
    static int log = -2;
    if (log == -2) {
        const char *path = getenv("KC_LINE_LOG");
        log = path ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
    }
    if (log < 0) return;
    char line[128];
    const int n = snprintf(line, sizeof line, "%s %d %lld %lld\n", what, fd, value, ns);
    syscall(SYS_write, log, line, (size_t)n);
}

ssize_t write(int fd, const void *buf, size_t count) {
    static ssize_t (*real)(int, const void *, size_t);
    if (!real) real = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    const ssize_t r = real(fd, buf, count);
    const int saved = errno;
    if (r > 0 && isatty(fd)) record("write", fd, r, now_ns());
    errno = saved;
    return r;
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const char *what = request == TIOCMBIS   ? "bis"
                       : request == TIOCMBIC ? "bic"
                       : request == TIOCMSET ? "set"
                                             : NULL;
    if (what) {
        const int bits = *(const int *)arg;
        record(what, fd, bits, now_ns());
        if (real(fd, request, arg) == 0) return 0;
        modem_bits = request == TIOCMBIS   ? (modem_bits | bits)
                     : request == TIOCMBIC ? (modem_bits & ~bits)
                                           : bits;
        return 0;
    }
    const int r = real(fd, request, arg);
    if (r != 0 && request == TIOCMGET) {
        *(int *)arg = modem_bits;
        return 0;
    }
    return r;
}
