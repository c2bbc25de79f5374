// kestrova-sim: a bus of instruments behind a line concentrator, on a
// pseudo-terminal or a serial device, for trying the console without hardware.
#include "cli.h"
#include "settings.h"
#include "simcore.h"
#include "simserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void on_signal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

speed_t speed_of(qint32 rate) {
    switch (rate) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0; // not a standard rate: keep the device's
    }
}

// Raw, with the line settings where the device takes them.
void make_raw(int fd, const LineSettings &s) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    switch (s.dataBits) {
    case QSerialPort::Data5:
        t.c_cflag |= CS5;
        break;
    case QSerialPort::Data6:
        t.c_cflag |= CS6;
        break;
    case QSerialPort::Data7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }
    if (s.parity == QSerialPort::EvenParity)
        t.c_cflag |= PARENB;
    else if (s.parity == QSerialPort::OddParity)
        t.c_cflag |= PARENB | PARODD;
    if (s.stopBits != QSerialPort::OneStop) t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (const speed_t sp = speed_of(s.rate); sp != B0) ::cfsetspeed(&t, sp);
    ::tcsetattr(fd, TCSANOW, &t);
}

// Microseconds one character takes on the line, as the release counts it.
int char_micros(const LineSettings &s) {
    return qMax(1, int((char_ns(s) + 500) / 1000));
}

int count_option(const QCommandLineParser &p, const QCommandLineOption &o, int lo, int hi) {
    return cli::number(p, o.names().constFirst(), lo, hi);
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrova-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KC_VERSION));
    cli::load_qt_translations();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("仪表总线模拟器：在伪终端（或给定的串口设备）上扮演集中器后面的一组仪表，"
                       "回答 kestrova-comtest 的请求帧。第一行标准输出是串口设备的路径；"
                       "每个请求和回复以可读形式记录在标准错误上。"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("使用这个串口设备，而不是新建伪终端。"),
                                    QStringLiteral("PATH"));
    const QCommandLineOption link(
        QStringLiteral("link"),
        QStringLiteral("在 PATH 建一个指向伪终端的符号链接（退出时删除）。"),
        QStringLiteral("PATH"));
    const QCommandLineOption concentrator(QStringLiteral("concentrator"),
                                          QStringLiteral("集中器地址，0 到 99（默认 01）。"),
                                          QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption instrument(
        QStringLiteral("instrument"),
        QStringLiteral("增加或替换一台仪表（可重复）：地址[:通道数[:参数个数[:PV]]]，"
                       "例如 7:2:10:99.9。默认有地址 001 到 003，各 4 个通道、20 个参数，"
                       "001 通道 01 的 PV 为 23.4。"),
        QStringLiteral("DESC"));
    const QCommandLineOption delay(QStringLiteral("delay"),
                                   QStringLiteral("请求收完到回复开始的毫秒数（默认 5）。"),
                                   QStringLiteral("MS"), QStringLiteral("5"));
    const QCommandLineOption settings(
        QStringLiteral("settings"),
        QStringLiteral("仪表的线路设置（默认 9600,n,8,2）。控制台的设置与之不符时仪表不回复；"
                       "也用于 --pace 和串口设备。"),
        QStringLiteral("TEXT"), QStringLiteral("9600,n,8,2"));
    const QCommandLineOption mismatch(
        QStringLiteral("mismatch"),
        QStringLiteral("控制台的线路设置不符时：silent 不回复（默认），noise 回几个乱码字符。"),
        QStringLiteral("silent|noise"), QStringLiteral("silent"));
    const QCommandLineOption reportSocket(
        QStringLiteral("report-socket"),
        QStringLiteral("在 PATH 接收预载库 libkc_lineshim.so 的报告（控制台以环境变量 "
                       "KC_BUS_SOCKET=PATH 运行）：写出、方向线和线路设置。"),
        QStringLiteral("PATH"));
    const QCommandLineOption halfDuplex(
        QStringLiteral("half-duplex"),
        QStringLiteral("两线制半双工总线：按报告的时间把请求和回复逐字符放到线上，"
                       "方向线释放之后发出的请求字符、控制台仍占着总线时的回复字符都会丢失。"
                       "需要 --report-socket。"));
    const QCommandLineOption converter(
        QStringLiteral("converter"),
        QStringLiteral("半双工总线上转换器的发送条件：RTS=0（默认）、RTS=1、DTR=0、DTR=1，"
                       "或 auto（自动换向）。"),
        QStringLiteral("WHICH"), QStringLiteral("RTS=0"));
    const QCommandLineOption pace(QStringLiteral("pace"),
                                  QStringLiteral("按线路速率逐个字符发出回复。"));
    const QCommandLineOption echo(
        QStringLiteral("echo"),
        QStringLiteral("把收到的每个字节立即送回（两线制总线的本地回显）。"));
    const QCommandLineOption split(QStringLiteral("split"),
                                   QStringLiteral("每个回复分 N 次写出（默认 1）。"),
                                   QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption splitGap(QStringLiteral("split-gap"),
                                      QStringLiteral("分次写出之间的毫秒数（默认 20）。"),
                                      QStringLiteral("MS"), QStringLiteral("20"));
    const QCommandLineOption badSum(
        QStringLiteral("bad-sum"),
        QStringLiteral("每 N 个校验和算错一个（大 1）：读回复带错误的校验和，写参数回 NAK。"),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption drop(QStringLiteral("drop"),
                                  QStringLiteral("每 N 个回复丢掉一个（不发出）。"),
                                  QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption tap(
        QStringLiteral("tap"),
        QStringLiteral("再建一个伪终端（在 PATH 建符号链接，退出时删除），像只收不发的转换器那样"
                       "听到总线上的每个字节：两个方向按先后、按线路速率和实际间隙；半双工总线上"
                       "只有真正上了线的字符。供 kestrova-probe --monitor 监听。"),
        QStringLiteral("PATH"));
    parser.addOptions({tap, device, link, concentrator, instrument, delay, settings, mismatch, pace,
                       echo, split, splitGap, badSum, drop, reportSocket, halfDuplex, converter});
    cli::parse(parser, app.arguments());
    if (!parser.positionalArguments().isEmpty())
        cli::usage_error(QStringLiteral("多余的参数：%1")
                             .arg(parser.positionalArguments().join(QLatin1Char(' '))));

    sim::Bus bus = sim::standard_bus();
    for (const QString &desc : parser.values(instrument)) {
        const auto ins = sim::parse_instrument(desc);
        if (!ins)
            cli::usage_error(
                QStringLiteral("--instrument 的值无效：%1（应为 地址[:通道数[:参数个数[:PV]]]）")
                    .arg(desc));
        bus[ins->first] = ins->second;
    }
    const auto line = parse_settings(parser.value(settings));
    if (!line)
        cli::usage_error(QStringLiteral("--settings 的值无效：%1").arg(parser.value(settings)));

    LineSetup setup;
    setup.instruments = *line;
    if (const QString m = parser.value(mismatch); m == QLatin1String("noise"))
        setup.noise = true;
    else if (m != QLatin1String("silent"))
        cli::usage_error(QStringLiteral("--mismatch 的值无效：%1（应为 silent 或 noise）").arg(m));
    if (parser.isSet(halfDuplex)) {
        setup.bus = sim::parse_converter(parser.value(converter));
        if (!setup.bus)
            cli::usage_error(
                QStringLiteral(
                    "--converter 的值无效：%1（应为 RTS=0、RTS=1、DTR=0、DTR=1 或 auto）")
                    .arg(parser.value(converter)));
        if (!parser.isSet(reportSocket))
            cli::usage_error(QStringLiteral("--half-duplex 需要 --report-socket"));
    } else if (parser.isSet(converter)) {
        cli::usage_error(QStringLiteral("--converter 只用于 --half-duplex"));
    }

    sim::Faults faults;
    faults.echo = parser.isSet(echo);
    faults.split = count_option(parser, split, 1, 1000);
    faults.badSumEvery = count_option(parser, badSum, 0, 1000000);
    faults.dropEvery = count_option(parser, drop, 0, 1000000);
    LineTiming timing;
    timing.delayMs = count_option(parser, delay, 0, 600000);
    timing.splitGapMs = count_option(parser, splitGap, 0, 600000);
    timing.charMicros = parser.isSet(pace) ? char_micros(*line) : 0;
    sim::SimCore core(bus, count_option(parser, concentrator, 0, 99), faults);

    // The line: a given device, or a fresh pseudo-terminal whose slave side we
    // keep open, so the console closing and reopening it never hangs up the master.
    int fd = -1;
    int slaveKeep = -1;
    QString path;
    if (parser.isSet(device)) {
        path = parser.value(device);
        fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            cli::fatal(QStringLiteral("无法打开 %1：%2")
                           .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        make_raw(fd, *line);
    } else {
        char name[256] = {};
        if (::openpty(&fd, &slaveKeep, name, nullptr, nullptr) != 0)
            cli::fatal(QStringLiteral("无法创建伪终端：%1")
                           .arg(QString::fromLocal8Bit(std::strerror(errno))));
        make_raw(slaveKeep, *line);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(slaveKeep, F_SETFD, FD_CLOEXEC);
        path = QString::fromLocal8Bit(name);
    }

    setup.slaveFd = slaveKeep;
    QByteArray socketPath;
    if (parser.isSet(reportSocket)) {
        socketPath = parser.value(reportSocket).toLocal8Bit();
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (socketPath.size() >= qsizetype(sizeof addr.sun_path))
            cli::usage_error(
                QStringLiteral("--report-socket 的路径太长：%1").arg(parser.value(reportSocket)));
        std::memcpy(addr.sun_path, socketPath.constData(), size_t(socketPath.size()));
        struct stat st {};
        if (::lstat(socketPath.constData(), &st) == 0 && S_ISSOCK(st.st_mode))
            ::unlink(socketPath.constData()); // left by an earlier run
        setup.reportFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (setup.reportFd < 0 ||
            ::bind(setup.reportFd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
            cli::fatal(
                QStringLiteral("无法在 %1 接收报告：%2")
                    .arg(parser.value(reportSocket), QString::fromLocal8Bit(std::strerror(errno))));
    }

    QString linkPath;
    if (parser.isSet(link)) {
        linkPath = parser.value(link);
        const QFileInfo existing(linkPath);
        if (existing.isSymLink())
            ::unlink(linkPath.toLocal8Bit().constData());
        else if (existing.exists())
            cli::fatal(QStringLiteral("%1 已存在且不是符号链接").arg(linkPath));
        if (::symlink(path.toLocal8Bit().constData(), linkPath.toLocal8Bit().constData()) != 0)
            cli::fatal(QStringLiteral("无法建立符号链接 %1：%2")
                           .arg(linkPath, QString::fromLocal8Bit(std::strerror(errno))));
    }

    // The tap: its slave kept open too, so a monitor may come and go.
    int tapFd = -1;
    int tapKeep = -1;
    QString tapPath;
    QString tapLink;
    if (parser.isSet(tap)) {
        char name[256] = {};
        if (::openpty(&tapFd, &tapKeep, name, nullptr, nullptr) != 0)
            cli::fatal(QStringLiteral("无法创建伪终端：%1")
                           .arg(QString::fromLocal8Bit(std::strerror(errno))));
        make_raw(tapKeep, *line);
        ::fcntl(tapFd, F_SETFL, ::fcntl(tapFd, F_GETFL) | O_NONBLOCK);
        ::fcntl(tapFd, F_SETFD, FD_CLOEXEC);
        ::fcntl(tapKeep, F_SETFD, FD_CLOEXEC);
        tapPath = QString::fromLocal8Bit(name);
        tapLink = parser.value(tap);
        const QFileInfo existing(tapLink);
        if (existing.isSymLink())
            ::unlink(tapLink.toLocal8Bit().constData());
        else if (existing.exists())
            cli::fatal(QStringLiteral("%1 已存在且不是符号链接").arg(tapLink));
        if (::symlink(name, tapLink.toLocal8Bit().constData()) != 0)
            cli::fatal(QStringLiteral("无法建立符号链接 %1：%2")
                           .arg(tapLink, QString::fromLocal8Bit(std::strerror(errno))));
    }

    // The first line of standard output is the device; the console waits for it.
    std::printf("%s\n", qPrintable(path));
    std::fflush(stdout);

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        cli::fatal(QStringLiteral("socketpair 失败"));
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    ::sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    // A reader gone from a pipe or the line is handled where it shows, not by dying.
    ::signal(SIGPIPE, SIG_IGN);
    QSocketNotifier interrupts(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&interrupts, &QSocketNotifier::activated, &app,
                     [] { QCoreApplication::quit(); });

    // Started by the console, standard output is a pipe to it: when that pipe's
    // reader is gone the console is gone too, however it ended, and so are we.
    QTimer readerWatch;
    struct stat out {};
    if (::fstat(STDOUT_FILENO, &out) == 0 && S_ISFIFO(out.st_mode)) {
        QObject::connect(&readerWatch, &QTimer::timeout, &app, [] {
            pollfd p{STDOUT_FILENO, POLLOUT, 0};
            if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP))) {
                log_line(QStringLiteral("标准输出的读取端已关闭"));
                QCoreApplication::quit();
            }
        });
        readerWatch.start(250);
    }

    const std::unique_ptr<SimServer> server =
        setup.bus ? std::unique_ptr<SimServer>(new HalfDuplexServer(fd, core, timing, setup))
                  : std::make_unique<PlainLineServer>(fd, core, timing, setup);
    // The half-duplex bus knows a character's fate a moment after its last
    // bit; the tap plays the whole wire that much later, gaps unchanged.
    std::optional<Tap> tapLine;
    if (tapFd >= 0) {
        tapLine.emplace(tapFd, setup.bus ? 20'000'000 : 0);
        server->setTap(&*tapLine);
        log_line(QStringLiteral("总线分接在 %1（%2）").arg(tapLink, tapPath));
    }
    QObject::connect(server.get(), &SimServer::lineFailed, &app, [](const QString &reason) {
        log_line(QStringLiteral("线路故障：") + reason);
        QCoreApplication::exit(1);
    });

    QStringList addresses;
    for (auto it = core.bus().cbegin(); it != core.bus().cend(); ++it)
        addresses << QString::number(it.key()).rightJustified(3, QLatin1Char('0'));
    log_line(
        QStringLiteral("在 %1 上服务；集中器 %2；仪表 %3；线路设置 %4%5")
            .arg(path, QString::number(core.concentrator()).rightJustified(2, QLatin1Char('0')),
                 addresses.join(QLatin1Char(' ')), settings_text(*line),
                 setup.bus
                     ? QStringLiteral("；半双工总线，转换器 ") + parser.value(converter).toUpper()
                     : QString()));

    const int rc = app.exec();
    if (!linkPath.isEmpty() &&
        QFileInfo(linkPath).symLinkTarget() == QFileInfo(path).absoluteFilePath())
        ::unlink(linkPath.toLocal8Bit().constData());
    if (!tapLink.isEmpty() && QFileInfo(tapLink).symLinkTarget() == tapPath)
        ::unlink(tapLink.toLocal8Bit().constData());
    if (tapKeep >= 0) ::close(tapKeep);
    if (slaveKeep >= 0) ::close(slaveKeep);
    if (setup.reportFd >= 0) {
        ::close(setup.reportFd);
        ::unlink(socketPath.constData());
    }
    ::close(fd);
    log_line(QStringLiteral("结束"));
    return rc;
}
