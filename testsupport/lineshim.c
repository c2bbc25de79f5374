// Preloaded into a console under test. It watches the calls that reach the
// line, with CLOCK_MONOTONIC times:
//
// - KC_LINE_LOG=PATH records them in a file, one line each:
//     write FD COUNT NS        as the write is made
//     bis|bic|set FD BITS NS   before the modem-line ioctl
//     tcset FD RATE NS         line settings asked for
//     rs485 FD FLAGS NS        RS-485 mode as the (fake) driver holds it
// - KC_BUS_SOCKET=PATH reports them to kestrova-sim --report-socket PATH, one
//   datagram each, so that the simulator can model the wire (see sim/README.md):
//     W PID RDEV NS HEXBYTES
//     L PID RDEV NS bis|bic|set BITS
//     T PID RDEV NS SPEED CFLAG
//     R PID RDEV NS FLAGS
//
// A pseudo-terminal has no modem lines; here setting them succeeds, as on a
// serial port, so the release can be timed on the ioctl. Nor does it hold
// parity or data bits; here tcgetattr shows those last asked for.
//
// Faults for tests, never in the product:
// - KC_BUS_HOLD_MS=N: the first modem-line call after a write (the release)
//   waits N ms before it is made.
// - KC_BUS_EARLY_MS=N: at each write after a raise, the receive level (the
//   raise undone) is reported as set N ms before the wire time of the write ends.
// - KC_FAKE_RS485=accept|enabled|refuse|no-rts-on-send: a pseudo-terminal
//   answers TIOCGRS485 and TIOCSRS485 as a driver with RS-485 mode (off at
//   first, or already on with RTS on send), or refuses them with ENOTTY, or
//   takes them but keeps RTS on after sending instead (SER_RS485_RTS_ON_SEND
//   dropped, as a driver does whose hardware has only that polarity).
#define _GNU_SOURCE
#include "chartime.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

// The kernel's own termios, as TCSETS* and TCSETS2* take it.
struct kc_ktermios {
    unsigned c_iflag, c_oflag, c_cflag, c_lflag;
    unsigned char c_line;
    unsigned char c_cc[19];
    unsigned c_ispeed, c_ospeed; // termios2 only
};
#define KC_BOTHER 0010000

enum { kMaxFd = 1024 };

// What the shim knows of one descriptor.
struct line_state {
    int raiseOp; // the modem-line call before the last write (0: none)
    int raiseBits;
    int written;        // a write came after the last modem-line call
    long long charNs;   // one character at the asked rate
    long long wireFree; // when the last character written has left
};

static struct line_state lines[kMaxFd];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int modem_bits; // the lines as set through this shim

static pthread_once_t once = PTHREAD_ONCE_INIT;
static int log_fd = -1;
static int bus_fd = -1;
static struct sockaddr_un bus_addr;
static long long hold_ns, early_ns;
static enum { RS485_REAL, RS485_ACCEPT, RS485_REFUSE, RS485_INVERTED } rs485_mode;
static struct serial_rs485 rs485_held;

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static long long env_ms(const char *name) {
    const char *v = getenv(name);
    return v ? atoll(v) * 1000000LL : 0;
}

static void init(void) {
    const char *path = getenv("KC_LINE_LOG");
    if (path) log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const char *bus = getenv("KC_BUS_SOCKET");
    if (bus && strlen(bus) < sizeof bus_addr.sun_path) {
        bus_addr.sun_family = AF_UNIX;
        strcpy(bus_addr.sun_path, bus);
        bus_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    hold_ns = env_ms("KC_BUS_HOLD_MS");
    early_ns = env_ms("KC_BUS_EARLY_MS");
    const char *rs = getenv("KC_FAKE_RS485");
    if (rs && (!strcmp(rs, "accept") || !strcmp(rs, "enabled"))) rs485_mode = RS485_ACCEPT;
    if (rs && !strcmp(rs, "refuse")) rs485_mode = RS485_REFUSE;
    if (rs && !strcmp(rs, "no-rts-on-send")) rs485_mode = RS485_INVERTED;
    if (rs && !strcmp(rs, "enabled")) rs485_held.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    for (int i = 0; i < kMaxFd; ++i)
        lines[i].charNs = 11 * 1000000000LL / 9600;
}

static void record(const char *what, int fd, long long value, long long ns) {
    pthread_once(&once, init);
    if (log_fd < 0) return;
    char line[128];
    const int n = snprintf(line, sizeof line, "%s %d %lld %lld\n", what, fd, value, ns);
    syscall(SYS_write, log_fd, line, (size_t)n);
}

// The device behind fd, or 0 where nothing is to be reported: the program's
// own standard streams are no serial line.
static unsigned long long reported_device(int fd) {
    pthread_once(&once, init);
    struct stat st;
    if (bus_fd < 0 || fd <= 2 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    return (unsigned long long)st.st_rdev;
}

static void report(const char *text, int len) {
    sendto(bus_fd, text, (size_t)len, 0, (const struct sockaddr *)&bus_addr, sizeof bus_addr);
}

// A write is told with the next ioctl (its release, or a look at the driver's
// queue), not at once: the simulator woken by the datagram would take the CPU
// from the writer just when it times the wire.
enum { kPending = 8, kPendingLen = 2200 };
static char pending[kPending][kPendingLen];
static int pending_len[kPending];
static int pending_count;
static pthread_mutex_t pending_lock = PTHREAD_MUTEX_INITIALIZER;

static void flush_reports(void) {
    pthread_mutex_lock(&pending_lock);
    for (int i = 0; i < pending_count; ++i)
        report(pending[i], pending_len[i]);
    pending_count = 0;
    pthread_mutex_unlock(&pending_lock);
}

static void report_later(const char *text, int len) {
    if (len > kPendingLen) return;
    if (pending_count == kPending) flush_reports();
    pthread_mutex_lock(&pending_lock);
    memcpy(pending[pending_count], text, (size_t)len);
    pending_len[pending_count++] = len;
    pthread_mutex_unlock(&pending_lock);
}

static void report_line(int fd, const char *op, int bits, long long ns, int later) {
    const unsigned long long dev = reported_device(fd);
    if (!dev) return;
    char text[128];
    const int n =
        snprintf(text, sizeof text, "L %d %llu %lld %s %d", (int)getpid(), dev, ns, op, bits);
    if (later)
        report_later(text, n);
    else
        report(text, n);
}

static const char *op_name(unsigned long request) {
    return request == TIOCMBIS ? "bis" : request == TIOCMBIC ? "bic" : "set";
}

static void on_write(int fd, const void *buf, ssize_t count, long long ns) {
    record("write", fd, count, ns);
    flush_reports(); // an earlier write that no call followed
    int early_op = 0, early_bits = 0;
    long long early_at = 0;
    if (fd >= 0 && fd < kMaxFd) {
        pthread_mutex_lock(&lock);
        struct line_state *s = &lines[fd];
        s->written = 1;
        const long long start = s->wireFree > ns ? s->wireFree : ns;
        s->wireFree = start + count * s->charNs;
        if (early_ns > 0 && s->raiseOp) {
            early_op = s->raiseOp == TIOCMBIS ? TIOCMBIC : TIOCMBIS;
            early_bits = s->raiseBits;
            early_at = s->wireFree - early_ns;
        }
        pthread_mutex_unlock(&lock);
    }
    const unsigned long long dev = reported_device(fd);
    if (dev) {
        enum { kMaxBytes = 1024 };
        static const char digits[] = "0123456789abcdef";
        char text[64 + 2 * kMaxBytes];
        int n = snprintf(text, 64, "W %d %llu %lld ", (int)getpid(), dev, ns);
        const unsigned char *b = buf;
        for (ssize_t i = 0; i < count && i < kMaxBytes; ++i) {
            text[n++] = digits[b[i] >> 4];
            text[n++] = digits[b[i] & 15];
        }
        report_later(text, n);
    }
    if (early_op) {
        record(op_name((unsigned long)early_op), fd, early_bits, early_at);
        report_line(fd, op_name((unsigned long)early_op), early_bits, early_at, 1);
    }
}

// Told before the write is made, so that nothing of the shim's stands between
// the write and what the caller does next (the console times the wire from
// there). A write the driver takes only in part is told whole.
ssize_t write(int fd, const void *buf, size_t count) {
    static ssize_t (*real)(int, const void *, size_t);
    if (!real) real = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    const int saved = errno;
    if (count > 0 && isatty(fd)) on_write(fd, buf, (ssize_t)count, now_ns());
    errno = saved;
    return real(fd, buf, count);
}

static int rate_of(unsigned code) {
    static const struct {
        unsigned code;
        int rate;
    } table[] = {{B50, 50},         {B75, 75},         {B110, 110},         {B134, 134},
                 {B150, 150},       {B200, 200},       {B300, 300},         {B600, 600},
                 {B1200, 1200},     {B1800, 1800},     {B2400, 2400},       {B4800, 4800},
                 {B9600, 9600},     {B19200, 19200},   {B38400, 38400},     {B57600, 57600},
                 {B115200, 115200}, {B230400, 230400}, {B460800, 460800},   {B500000, 500000},
                 {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}, {B2000000, 2000000}};
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i)
        if (table[i].code == code) return table[i].rate;
    return 0;
}

// A pseudo-terminal keeps 8 data bits without parity whatever it is told, and
// a program that reads the settings back before changing one would then ask
// for that. The shim holds the character format for it, as a UART does, by
// device, across openings.
#define KC_FORMAT (CSIZE | PARENB | PARODD | CMSPAR)
static struct {
    unsigned long long dev;
    unsigned format;
} formats[16];

static unsigned long long device_of(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) ? (unsigned long long)st.st_rdev : 0;
}

static void hold_format(int fd, unsigned cflag) {
    const unsigned long long dev = device_of(fd);
    if (!dev) return;
    pthread_mutex_lock(&lock);
    size_t i = 0;
    while (i + 1 < sizeof formats / sizeof formats[0] && formats[i].dev && formats[i].dev != dev)
        ++i;
    formats[i].dev = dev;
    formats[i].format = cflag & KC_FORMAT;
    pthread_mutex_unlock(&lock);
}

static unsigned held_format(int fd, unsigned cflag) {
    const unsigned long long dev = device_of(fd);
    pthread_mutex_lock(&lock);
    for (size_t i = 0; dev && i < sizeof formats / sizeof formats[0]; ++i)
        if (formats[i].dev == dev) cflag = (cflag & ~KC_FORMAT) | formats[i].format;
    pthread_mutex_unlock(&lock);
    return cflag;
}

// The console sets the same line a dozen times at each TEST. Told each time,
// they filled the simulator's queue (ten datagrams), and the next report
// waited in sendto: on the console's line thread, before its release.
static int settings_changed(unsigned long long dev, int rate, unsigned cflag) {
    static struct {
        unsigned long long dev;
        int rate;
        unsigned cflag;
    } told[16];
    pthread_mutex_lock(&lock);
    size_t i = 0;
    while (i + 1 < sizeof told / sizeof told[0] && told[i].dev && told[i].dev != dev)
        ++i;
    const int changed = told[i].dev != dev || told[i].rate != rate || told[i].cflag != cflag;
    told[i].dev = dev;
    told[i].rate = rate;
    told[i].cflag = cflag;
    pthread_mutex_unlock(&lock);
    return changed;
}

static void on_settings(int fd, unsigned cflag, int rate) {
    const long long ns = now_ns();
    hold_format(fd, cflag);
    record("tcset", fd, rate, ns);
    if (rate > 0 && fd >= 0 && fd < kMaxFd) {
        // Data: CS5 is 0, each CSn one step above.
        const int bits = kc_bits_per_char(5 + (int)((cflag & CSIZE) >> 4), (cflag & PARENB) != 0,
                                          (cflag & CSTOPB) != 0);
        pthread_mutex_lock(&lock);
        lines[fd].charNs = kc_char_ns(bits, rate);
        pthread_mutex_unlock(&lock);
    }
    const unsigned long long dev = reported_device(fd);
    if (!dev || !settings_changed(dev, rate, cflag)) return;
    char text[128];
    const int n =
        snprintf(text, sizeof text, "T %d %llu %lld %d %u", (int)getpid(), dev, ns, rate, cflag);
    flush_reports();
    report(text, n);
}

int tcgetattr(int fd, struct termios *t) {
    static int (*real)(int, struct termios *);
    if (!real) real = (int (*)(int, struct termios *))dlsym(RTLD_NEXT, "tcgetattr");
    const int r = real(fd, t);
    if (r == 0) t->c_cflag = held_format(fd, t->c_cflag);
    return r;
}

int tcsetattr(int fd, int action, const struct termios *t) {
    static int (*real)(int, int, const struct termios *);
    if (!real) real = (int (*)(int, int, const struct termios *))dlsym(RTLD_NEXT, "tcsetattr");
    const int r = real(fd, action, t);
    const int saved = errno;
    // On a pseudo-terminal the C library calls dropped parity or data bits an
    // error; the rest was taken, and the format is held here.
    const unsigned long long dev = device_of(fd);
    const int pty = major(dev) >= 136 && major(dev) <= 143;
    if (t && (r == 0 || (saved == EINVAL && pty)))
        on_settings(fd, t->c_cflag, rate_of(t->c_cflag & CBAUD));
    errno = saved;
    return r;
}

static void on_rs485(int fd) {
    const long long ns = now_ns();
    record("rs485", fd, rs485_held.flags, ns);
    const unsigned long long dev = reported_device(fd);
    if (!dev) return;
    char text[128];
    const int n =
        snprintf(text, sizeof text, "R %d %llu %lld %u", (int)getpid(), dev, ns, rs485_held.flags);
    flush_reports();
    report(text, n);
}

// A modem-line call: the first after a write is the release, which the hold
// fault keeps back; one before a write is the raise.
static void on_modem(int fd, unsigned long request, int bits) {
    long long ns = now_ns(); // before anything here can hold the caller up
    int release = 0;
    if (fd >= 0 && fd < kMaxFd) {
        pthread_mutex_lock(&lock);
        release = lines[fd].written;
        lines[fd].written = 0;
        if (!release) {
            lines[fd].raiseOp = (int)request;
            lines[fd].raiseBits = bits;
        }
        pthread_mutex_unlock(&lock);
    }
    if (release && hold_ns > 0) {
        const struct timespec t = {hold_ns / 1000000000LL, hold_ns % 1000000000LL};
        nanosleep(&t, NULL);
        ns = now_ns();
    }
    record(op_name(request), fd, bits, ns);
    report_line(fd, op_name(request), bits, ns, 1);
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    pthread_once(&once, init);
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET) {
        const int bits = *(const int *)arg;
        on_modem(fd, request, bits);
        if (real(fd, request, arg) != 0)
            modem_bits = request == TIOCMBIS   ? (modem_bits | bits)
                         : request == TIOCMBIC ? (modem_bits & ~bits)
                                               : bits;
        flush_reports(); // once the line is set
        return 0;
    }
    const int r = real(fd, request, arg);
    const int saved = errno;
    // Whoever looks at the line after a write (the console's release thread
    // polls the driver's queue) carries its report: no modem-line call may follow.
    if (pending_count) flush_reports();
    if (r != 0 && request == TIOCMGET) {
        *(int *)arg = modem_bits;
        return 0;
    }
    if (r != 0 && (request == TIOCSRS485 || request == TIOCGRS485) && rs485_mode != RS485_REAL) {
        if (rs485_mode == RS485_REFUSE) {
            errno = ENOTTY;
            return -1;
        }
        if (request == TIOCSRS485) {
            rs485_held = *(const struct serial_rs485 *)arg;
            if (rs485_mode == RS485_INVERTED && (rs485_held.flags & SER_RS485_ENABLED))
                rs485_held.flags = (rs485_held.flags & ~SER_RS485_RTS_ON_SEND) |
                                   SER_RS485_RTS_AFTER_SEND;
        } else
            *(struct serial_rs485 *)arg = rs485_held;
        on_rs485(fd);
        return 0;
    }
    if (r == 0 && arg) {
        const struct kc_ktermios *k = arg;
        const unsigned nr = _IOC_NR(request);
        const int plain = request == TCSETS || request == TCSETSW || request == TCSETSF;
        // TCSETS2, TCSETSW2, TCSETSF2: the speed may be given in baud.
        const int two = _IOC_TYPE(request) == 'T' && (nr == 0x2B || nr == 0x2C || nr == 0x2D) &&
                        _IOC_DIR(request) == _IOC_WRITE;
        if (plain || two)
            on_settings(fd, k->c_cflag,
                        two && (k->c_cflag & CBAUD) == KC_BOTHER ? (int)k->c_ospeed
                                                                 : rate_of(k->c_cflag & CBAUD));
    }
    errno = saved;
    return r;
}
