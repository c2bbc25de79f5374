// Flood: a pseudo-terminal flooded with reply-like lines, read by PuTTY and
// then by the console, each with its window live on the X server in DISPLAY.
// For each: the bytes per second it takes (the flood is written into the
// master side as fast as the reader accepts it), its resident memory at the
// start and the end of the flood, and how long a key press takes to be
// answered on the line during the flood (PuTTY: a typed character; the
// console: F5, TEST, whose frame goes out). Then the ratio of the two rates.
//
//   xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" build/bench/bench_flood [SECONDS]
//
// Needs putty and xdotool. Key presses are sent by one xdotool reading
// commands from a pipe; the time counts from writing the command.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

pid_t spawn(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

// xdotool reading commands from stdin, started once.
struct KeySender {
    pid_t pid = -1;
    int fd = -1;
    KeySender() {
        int p[2];
        if (pipe(p) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[0], 0);
        posix_spawn_file_actions_addclose(&fa, p[1]);
        char *argv[] = {const_cast<char *>("xdotool"), const_cast<char *>("-"), nullptr};
        if (posix_spawnp(&pid, "xdotool", &fa, nullptr, argv, environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(p[0]);
        fd = p[1];
    }
    ~KeySender() {
        if (fd >= 0) close(fd);
        if (pid > 0) waitpid(pid, nullptr, 0);
    }
    void press(const std::string &key) const {
        const std::string cmd = "key --delay 0 " + key + "\n";
        if (write(fd, cmd.data(), cmd.size()) < 0) std::perror("bench_flood: xdotool");
    }
};

int run(const std::vector<std::string> &args) {
    const pid_t pid = spawn(args);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long rss_kb(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        path = ptsname(master);
        // Raw from the start, and kept open so the line never hangs up between openings.
        slave = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
};

struct Result {
    double mbPerS = 0;
    long rssStartKb = 0, rssEndKb = 0, rssMaxKb = 0;
    std::vector<double> keyMs;
    int keysUnanswered = 0;
};

// Reads what the program sent, looking for `answer`; true once seen.
bool drain(int fd, std::string &seen, const std::string &answer) {
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, std::size_t(n));
    }
    if (seen.size() > 1 << 16) seen.erase(0, seen.size() - answer.size());
    const auto at = seen.find(answer);
    if (at == std::string::npos) return false;
    seen.erase(0, at + answer.size());
    return true;
}

// Puts the pointer over the program's window, so that keys go to it (no
// window manager: the focus follows the pointer).
bool point_at(pid_t pid, int dx, int dy) {
    for (int i = 0; i < 100; ++i) {
        // The window of that process, once it is mapped.
        if (run({"sh", "-c",
                 "xdotool search --onlyvisible --pid " + std::to_string(pid) + " >/dev/null"}) == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const std::string cmd = "xdotool mousemove --window $(xdotool search --onlyvisible --pid " +
                            std::to_string(pid) + " | head -1) " + std::to_string(dx) + " " +
                            std::to_string(dy) + " click 1";
    return run({"sh", "-c", cmd}) == 0;
}

Result flood(const std::vector<std::string> &program, const std::string &key,
             const std::string &answer, bool keyOpensPort, double secs) {
    Result r;
    Pty pty;
    std::vector<std::string> args = program;
    for (std::string &a : args)
        if (const auto at = a.find("PTY"); at != std::string::npos) a.replace(at, 3, pty.path);
    const pid_t pid = spawn(args);
    if (pid < 0 || !point_at(pid, 30, 10)) {
        std::fprintf(stderr, "bench_flood: cannot start %s\n", program[0].c_str());
        return r;
    }
    std::string seen;
    const KeySender keys;
    if (keyOpensPort) {
        // The console opens its port with the first TEST.
        const auto t = Clock::now();
        keys.press(key);
        while (!drain(pty.master, seen, answer) && seconds_since(t) < 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    drain(pty.master, seen, answer);
    seen.clear();

    std::string line = "\x14"
                       "01\x02"
                       "0010123.400560\x17\r\n";
    std::string chunk;
    while (chunk.size() < 8192)
        chunk += line;
    std::size_t offset = 0;
    unsigned long long total = 0;
    r.rssStartKb = r.rssMaxKb = rss_kb(pid);
    const auto start = Clock::now();
    auto nextKey = start + std::chrono::milliseconds(1500);
    auto nextRss = start;
    Clock::time_point keyAt;
    bool waiting = false;
    while (seconds_since(start) < secs) {
        pollfd p{pty.master, POLLOUT | POLLIN, 0};
        poll(&p, 1, 2);
        for (;;) {
            const ssize_t n = write(pty.master, chunk.data() + offset, chunk.size() - offset);
            if (n <= 0) break;
            total += std::size_t(n);
            offset = (offset + std::size_t(n)) % line.size();
        }
        const bool answered = drain(pty.master, seen, answer);
        const auto now = Clock::now();
        if (waiting && answered) {
            r.keyMs.push_back(std::chrono::duration<double, std::milli>(now - keyAt).count());
            waiting = false;
        }
        if (now >= nextKey) {
            if (waiting) ++r.keysUnanswered;
            keyAt = Clock::now();
            keys.press(key);
            waiting = true;
            nextKey = now + std::chrono::milliseconds(1500);
        }
        if (now >= nextRss) {
            r.rssMaxKb = std::max(r.rssMaxKb, rss_kb(pid));
            nextRss = now + std::chrono::milliseconds(250);
        }
    }
    const double elapsed = seconds_since(start);
    if (waiting) ++r.keysUnanswered;
    r.rssEndKb = rss_kb(pid);
    r.rssMaxKb = std::max(r.rssMaxKb, r.rssEndKb);
    r.mbPerS = double(total) / elapsed / 1e6;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return r;
}

void print(const char *name, Result r) {
    std::sort(r.keyMs.begin(), r.keyMs.end());
    const double median = r.keyMs.empty() ? 0 : r.keyMs[r.keyMs.size() / 2];
    const double worst = r.keyMs.empty() ? 0 : r.keyMs.back();
    std::printf("%-17s %8.2f MB/s   RSS %6.1f -> %6.1f MB (peak %6.1f, growth %+6.1f MB)   "
                "key answered: median %5.1f ms, worst %5.1f ms, %zu answered, %d not\n",
                name, r.mbPerS, r.rssStartKb / 1024.0, r.rssEndKb / 1024.0, r.rssMaxKb / 1024.0,
                (r.rssMaxKb - r.rssStartKb) / 1024.0, median, worst, r.keyMs.size(),
                r.keysUnanswered);
}

} // namespace

int main(int argc, char **argv) {
    const double secs = argc > 1 ? std::atof(argv[1]) : 60;
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr,
                     "bench_flood: needs an X server, e.g. xvfb-run -a -s \"-screen 0 "
                     "1024x768x24 -dpi 96\" %s\n",
                     argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each program's line as soon as it is measured
    std::printf("flood of reply-like lines (DC4 01 STX 0010123.400560 ETB CR LF) for %.0f s "
                "each\n",
                secs);
    const Result putty =
        flood({"putty", "-serial", "PTY", "-sercfg", "115200,8,n,1,N"}, "a", "a", false, secs);
    print("PuTTY", putty);
    const std::string frame = "\x14"
                              "01\x11"
                              "00101\x03\x03";
    const Result console = flood({KC_CONSOLE_PATH, "--com", "1=PTY"}, "F5", frame, true, secs);
    print("kestrova-comtest", console);
    if (putty.mbPerS > 0)
        std::printf("ratio kestrova-comtest / PuTTY: %.2f (goal >= 2)\n",
                    console.mbPerS / putty.mbPerS);
    const double growth = (console.rssMaxKb - console.rssStartKb) / 1024.0;
    std::vector<double> k = console.keyMs;
    std::sort(k.begin(), k.end());
    std::printf("console: memory growth %.1f MB (goal < 30), worst key answer %.1f ms (goal < 50)"
                "%s\n",
                growth, k.empty() ? 0.0 : k.back(),
                console.keysUnanswered ? ", some keys unanswered" : "");
    return 0;
}
