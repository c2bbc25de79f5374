#include "cli.h"
#include "form1.h"
#include "portmap.h"
#include "portsession.h"
#include "termination.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QProcess>
#include <cstdio>

namespace {

// Starts kestrova-sim on a fresh pseudo-terminal; returns the device it serves.
QString start_simulator(QProcess &sim, const QStringList &extra) {
    QString program =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("kestrova-sim"));
    if (!QFileInfo(program).isExecutable()) program = QStringLiteral("kestrova-sim");
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Like a real instrument: a short think, then the reply at the line's pace,
    // so the ruler moves. Later options given with --sim-arg win.
    sim.start(program, QStringList{QStringLiteral("--delay=20"), QStringLiteral("--pace")} + extra);
    if (!sim.waitForStarted(5000)) return {};
    while (!sim.canReadLine() && sim.waitForReadyRead(5000)) {
    }
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

struct Options {
    QCommandLineOption com{
        QStringLiteral("com"),
        QStringLiteral("把通讯口 COMN 映射到设备 DEVICE（可重复），例如 --com 1=/dev/ttyUSB0 或 "
                       "--com COM1=/dev/ttyUSB0。"
                       "未映射的 COMn 使用 /dev/ttyS<n-1>。"
                       "DEVICE 也可以是网络串口 rfc2217://主机:端口 或 socket://主机:端口。"),
        QStringLiteral("N=DEVICE")};
    QCommandLineOption simulate{
        QStringLiteral("simulate"),
        QStringLiteral("启动仪表模拟器 kestrova-sim，并把 COM1 接到它的伪终端上。")};
    QCommandLineOption log{QStringLiteral("log"),
                           QStringLiteral("把收发的每个字节记入会话日志文件 FILE（追加）。"),
                           QStringLiteral("FILE")};
    QCommandLineOption capture{
        QStringLiteral("capture"),
        QStringLiteral(
            "把收发的每一帧记入抓包文件 FILE（pcap 格式，Wireshark 可直接打开；覆盖）。"),
        QStringLiteral("FILE")};
    QCommandLineOption simArg{QStringLiteral("sim-arg"),
                              QStringLiteral("传给模拟器的参数（可重复），例如 --sim-arg=--echo。"),
                              QStringLiteral("ARG")};
};

void read_options(QCommandLineParser &parser, const Options &o, const QCoreApplication &app) {
    QCoreApplication::setApplicationName(QStringLiteral("kestrova-comtest"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KC_VERSION));
    parser.setApplicationDescription(QStringLiteral("RS-485 仪表通讯测试台"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({o.com, o.simulate, o.simArg, o.log, o.capture});
    cli::parse(parser, app.arguments()); // ends the program on --help, --version or a wrong option
}

// Help and version need no window system: answer them before one is opened,
// so they work over ssh without a display. Anything else, Qt's own options
// such as -platform included, is left to the full application.
void answer_without_display(int argc, char *argv[]) {
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const Options o;
    QCommandLineParser probe;
    probe.addHelpOption();
    probe.addVersionOption();
    probe.addOptions({o.com, o.simulate, o.simArg, o.log, o.capture});
    if (!probe.parse(args) ||
        !(probe.isSet(QStringLiteral("help")) || probe.isSet(QStringLiteral("help-all")) ||
          probe.isSet(QStringLiteral("version"))))
        return;
    QCoreApplication core(argc, argv);
    cli::load_qt_translations();
    QCommandLineParser parser;
    read_options(parser, o, core);
}

// Whether the window system Qt will pick needs a display. QT_QPA_PLATFORM may
// list fall-backs ("wayland;xcb") with options after ':'; -platform overrides it.
bool needs_display(int argc, char *argv[]) {
    QString platforms = qEnvironmentVariable("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i)
        if (qstrcmp(argv[i], "-platform") == 0 || qstrcmp(argv[i], "--platform") == 0)
            platforms = QString::fromLocal8Bit(argv[i + 1]);
    for (const QString &entry : platforms.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString name = entry.section(QLatin1Char(':'), 0, 0);
        if (name != QLatin1String("xcb") && !name.startsWith(QLatin1String("wayland")))
            return false; // offscreen, vnc, eglfs, ...
    }
    return true;
}

// Over ssh or on a headless box Qt would abort with advice to reinstall; say
// what is missing instead, before it tries.
bool refused_without_display(int argc, char *argv[]) {
    if (!qEnvironmentVariableIsEmpty("DISPLAY") ||
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || !needs_display(argc, argv))
        return false;
    std::fprintf(stderr, "kestrova-comtest: 控制台需要图形界面，但没有显示"
                         "（DISPLAY 和 WAYLAND_DISPLAY 都未设置）。\n"
                         "请在桌面会话中启动；没有图形界面时，可用命令行工具 kestrova-probe "
                         "测试仪表（见 man kestrova-probe）。\n");
    return true;
}

// The icon of the window and its message boxes, the same the desktop entry names.
void set_window_icon() {
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/kestrova-comtest-48.png"));
    icon.addFile(QStringLiteral(":/icons/kestrova-comtest-256.png"));
    QApplication::setWindowIcon(icon);
    QGuiApplication::setDesktopFileName(QStringLiteral("example.kestrova.comtest"));
}

} // namespace

int main(int argc, char *argv[]) {
    answer_without_display(argc, argv);
    if (refused_without_display(argc, argv)) return 2;
    QApplication app(argc, argv);
    set_window_icon();
    // Qt's own texts (context menus, option help, the serial port's reasons)
    // in the console's language.
    cli::load_qt_translations({QStringLiteral("qtbase"), QStringLiteral("qtserialport")});
    const Options o;
    QCommandLineParser parser;
    read_options(parser, o, app);

    PortMap map = cli::com_map(parser.values(o.com));

    QProcess sim;
    if (parser.isSet(o.simulate)) {
        const QString device = start_simulator(sim, parser.values(o.simArg));
        if (device.isEmpty()) {
            std::fprintf(stderr, "kestrova-comtest: 无法启动模拟器 kestrova-sim\n");
            return 2;
        }
        map.map(1, device);
        std::fprintf(stderr, "kestrova-comtest: COM1 接到模拟器 %s\n", qPrintable(device));
    }

    PortSession session(map);
    Form1 window(&session);
    // Ended by a signal, the program ends as EXIT ends it and lets go of the port.
    TerminationRequests termination;
    QObject::connect(&termination, &TerminationRequests::requested, &window, &Form1::cmdexit_Click);
    if (parser.isSet(o.log)) window.startLog(parser.value(o.log));
    if (parser.isSet(o.capture)) window.startCapture(parser.value(o.capture));
    window.show();
    window.cmdtest->setFocus();
    int rc = app.exec();
    if (termination.received()) rc = 128 + termination.received();
    if (sim.state() != QProcess::NotRunning) {
        sim.terminate();
        if (!sim.waitForFinished(2000)) sim.kill();
    }
    return rc;
}
