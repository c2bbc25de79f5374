// kestrova-probe: the console's TEST transaction from the command line, for
// one exchange, polling and a scan of the bus.
#include "busmonitor.h"
#include "capture.h"
#include "cli.h"
#include "messages.h"
#include "portmap.h"
#include "portsession.h"
#include "porttext.h"
#include "preparation.h"
#include "prober.h"
#include "ruler.h"
#include "termination.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <cstdio>
#include <memory>
#include <optional>

namespace {

constexpr int kDefaultTimeoutMs = Transaction::kTimeoutMs;

// The --function keys, in the order of the function box's rows.
constexpr const char *kFunctionKeys[] = {"pv", "param", "write"};

// The text of the function box a key stands for; nothing for an unknown key.
std::optional<QString> function_text(const QString &key) {
    const QStringList &rows = box_texts(Box::Function).rows;
    for (qsizetype i = 0; i < rows.size() && i < qsizetype(std::size(kFunctionKeys)); ++i)
        if (key == QLatin1String(kFunctionKeys[i])) return rows[i];
    return std::nullopt;
}

// "pv 读PV(DC1)，param 读参数(DC2)，write 写参数(DC3)"
QString function_help() {
    const QStringList &rows = box_texts(Box::Function).rows;
    QStringList items;
    for (qsizetype i = 0; i < rows.size() && i < qsizetype(std::size(kFunctionKeys)); ++i)
        items << QLatin1String(kFunctionKeys[i]) + QLatin1Char(' ') + rows[i];
    return items.join(QStringLiteral("，"));
}

QCommandLineOption option(const char *name, const QString &help, const char *valueName = nullptr,
                          const QString &initial = {}) {
    if (!valueName) return QCommandLineOption(QLatin1String(name), help);
    return QCommandLineOption(QLatin1String(name), help, QLatin1String(valueName), initial);
}

Plan read_plan(QCommandLineParser &parser, const QCoreApplication &app, PortMap &map) {
    const auto initial = [](Box b) { return box_texts(b).initial; };
    parser.setApplicationDescription(QStringLiteral(
        "RS-485 仪表探测工具：按测试台的 TEST 事务发出请求帧，判定回复"
        "（OK SUM=、ERR SUM=、ACK、NAK 或超时），可单次、轮询或扫描总线。\n"
        "退出状态：0 每次交换都为 OK 或 ACK；1 有交换未通过；2 用法错误或通讯口错误。"));
    parser.addPositionalArgument(
        QStringLiteral("device"),
        QStringLiteral("串口设备路径（如 /dev/ttyUSB0），或 COMn（按 --com 的映射，"
                       "未映射的 COMn 为 /dev/ttyS<n-1>），或网络串口 rfc2217://主机:端口、"
                       "socket://主机:端口。"));
    const QList<QCommandLineOption> options{
        option("com",
               QStringLiteral("把 COMN 映射到设备 DEVICE（可重复），例如 --com 1=/dev/ttyUSB0；"
                              "DEVICE 也可以是网络串口地址。"),
               "N=DEVICE"),
        option("settings",
               QStringLiteral("线路设置：波特率,校验,数据位,停止位（默认 %1）。")
                   .arg(initial(Box::Settings)),
               "TEXT", initial(Box::Settings)),
        option("direction",
               QStringLiteral("发送方向控制：%1 之一（默认 %2）。")
                   .arg(direction_texts().join(QStringLiteral("、")), initial(Box::Signal)),
               "TEXT", initial(Box::Signal)),
        option("model",
               QStringLiteral("仪表型号，%1 表示经集中器（默认 %1）。").arg(concentratorModel()),
               "TEXT", initial(Box::Model)),
        option("concentrator",
               QStringLiteral("集中器地址，0 到 99（默认 %1）。").arg(initial(Box::Concentrator)),
               "N", initial(Box::Concentrator)),
        option("function", QStringLiteral("功能：%1（默认 pv）。").arg(function_help()),
               "pv|param|write", QStringLiteral("pv")),
        option("address",
               QStringLiteral("仪表地址，0 到 999；可列多个并用 A:B 表示范围，例如 1,2,7:12"
                              "（默认 %1）。")
                   .arg(initial(Box::Address)),
               "LIST", initial(Box::Address)),
        option("channel",
               QStringLiteral("通道，0 到 99；列表写法同 --address（默认 %1）。")
                   .arg(initial(Box::Channel)),
               "LIST", initial(Box::Channel)),
        option("parameter",
               QStringLiteral("参数号，0 到 99（默认 %1）。").arg(initial(Box::Parameter)), "N",
               initial(Box::Parameter)),
        option("value",
               QStringLiteral("写参数的值，按原样发送，只限 ASCII（默认 %1）。")
                   .arg(initial(Box::Value)),
               "TEXT", initial(Box::Value)),
        option("timeout",
               QStringLiteral("等待回复的毫秒数（默认 %1，同测试台的进程标尺）。")
                   .arg(kDefaultTimeoutMs),
               "MS", QString::number(kDefaultTimeoutMs)),
        option("count", QStringLiteral("轮询 N 轮，每轮把每个地址和通道各问一次（默认 1 轮）。"),
               "N"),
        option("interval",
               QStringLiteral("每 MS 毫秒开始一轮；未给 --count 时一直轮询，直到 Ctrl+C。"), "MS"),
        option("scan", QStringLiteral("扫描地址 1 到 999（在给定的通道上），只列出有回复的地址。")),
        option("json", QStringLiteral("每次交换输出一行 JSON；统计为最后一行。")),
        option("find-settings",
               QStringLiteral(
                   "不知道仪表的线路设置时：按常用程度依次试设置表中的 7 种波特率，"
                   "每种试 n,8,2、n,8,1、e,8,1、o,8,1，共 28 种，到第一个有效回复为止；"
                   "给了 --settings 时先试它。只能读取，不能与 --function write "
                   "同时使用。每种设置输出一行，最后一行为结果。与 --scan 同用时每种设置扫描全部"
                   "地址。退出状态：0 找到，1 都没有有效回复，2 通讯口错误。")),
        option("find-direction",
               QStringLiteral("不知道转换器由哪条线切换方向时：依次试每种方向控制（%1），"
                              "列出有有效回复的；输出与退出状态同 --find-settings。")
                   .arg(direction_texts().join(QStringLiteral("、")))),
        option("csv",
               QStringLiteral("另把每次交换写成 CSV 文件 FILE 的一行（UTF-8，带 BOM，"
                              "首行为列名，与测试台“连续测试”导出的列相同）；扫描时没有回复的"
                              "地址也写入。"),
               "FILE"),
        option("reopen", QStringLiteral("每次交换都重新打开通讯口，与测试台的 TEST 相同"
                                        "（默认整个运行只打开一次）。")),
        option("monitor",
               QStringLiteral("只监听：不发送任何字节，把 --direction 所指的方向线保持在接收电平，"
                              "按协议和空闲间隙分帧，把每个请求与其回复配对并判定（OK、ERR、ACK、"
                              "NAK、timeout、stray、garbled），给出往返时间；Ctrl+C 时输出统计。"
                              "设备消失时退出状态为 2。")),
        option("capture",
               QStringLiteral("监听时另把每一帧写入抓包文件 FILE（pcap 格式，链路类型 252，"
                              "Wireshark 装上 kestrova.lua 后直接解析；覆盖）。"),
               "FILE"),
        option("monitor-rx",
               QStringLiteral("监听时的第二个接收口（四线制，或两个转换器各收一个方向的 RS-232 "
                              "分接）：这个口上听到的是仪表的回复。"),
               "DEVICE"),
        option("gap",
               QStringLiteral("监听时结束一帧的空闲毫秒数（默认为线路速率下 3.5 个字符时间）。"),
               "MS"),
    };
    parser.addOptions(options);
    parser.addHelpOption();
    parser.addVersionOption();
    cli::parse(parser, app.arguments());

    const QStringList args = parser.positionalArguments();
    if (args.size() != 1)
        cli::usage_error(args.isEmpty()
                             ? QStringLiteral("缺少串口设备（路径、COMn 或网络串口地址）")
                             : QStringLiteral("多余的参数：%1").arg(args.mid(1).join(' ')));
    map = cli::com_map(parser.values(QStringLiteral("com")));

    // COM17 is no device path: taken as one, it would be reported as COM1.
    static const QRegularExpression comN(QStringLiteral("^COM\\d+$"),
                                         QRegularExpression::CaseInsensitiveOption);
    if (!port_number_of(args.first()) && comN.match(args.first()).hasMatch())
        cli::usage_error(
            QStringLiteral("没有通讯口 %1：通讯口为 COM1 到 COM16；其他设备请给出路径，"
                           "例如 /dev/ttyUSB0")
                .arg(args.first()));

    Plan plan;
    Selection &s = plan.base;
    if (port_text_of(args.first()).kind != PortText::Other) {
        s.port = args.first();
    } else {
        s.port = QStringLiteral("COM1");
        map.map(1, args.first());
    }
    s.settings = parser.value(QStringLiteral("settings"));
    if (!parse_settings(s.settings))
        cli::usage_error(
            QStringLiteral("--settings 的值无效：%1（格式为“波特率,校验,数据位,停止位”，"
                           "例如 9600,n,8,2）")
                .arg(s.settings));
    s.signal = parser.value(QStringLiteral("direction"));
    if (!direction_texts().contains(s.signal))
        cli::usage_error(QStringLiteral("--direction 的值无效：%1（应为 %2 之一）")
                             .arg(s.signal, direction_texts().join(QStringLiteral("、"))));
    s.model = parser.value(QStringLiteral("model"));
    cli::number(parser, QStringLiteral("concentrator"), 0, 99);
    s.concentrator = parser.value(QStringLiteral("concentrator")).trimmed();
    plan.function = parser.value(QStringLiteral("function"));
    const auto function = function_text(plan.function);
    if (!function)
        cli::usage_error(QStringLiteral("--function 的值无效：%1（应为 pv、param 或 write）")
                             .arg(plan.function));
    s.function = *function;
    cli::number(parser, QStringLiteral("parameter"), 0, 99);
    s.parameter = parser.value(QStringLiteral("parameter")).trimmed();
    s.value = parser.value(QStringLiteral("value"));

    plan.scan = parser.isSet(QStringLiteral("scan"));
    if (plan.scan && parser.isSet(QStringLiteral("address")))
        cli::usage_error(QStringLiteral("--scan 与 --address 不能同时使用"));
    if (plan.scan && plan.function == QLatin1String("write"))
        cli::usage_error(QStringLiteral("--scan 只能读取，不能与 --function write 同时使用"));
    if (plan.scan) {
        for (int a = 1; a <= 999; ++a)
            plan.addresses << a;
    } else {
        plan.addresses = cli::list(parser, QStringLiteral("address"), 0, 999);
    }
    plan.channels = cli::list(parser, QStringLiteral("channel"), 0, 99);
    plan.timeoutMs = cli::number(parser, QStringLiteral("timeout"), 1, 600000);
    const bool counted = parser.isSet(QStringLiteral("count"));
    const bool paced = parser.isSet(QStringLiteral("interval"));
    plan.rounds =
        counted ? cli::number(parser, QStringLiteral("count"), 1, 1000000000) : (paced ? 0 : 1);
    if (paced) plan.intervalMs = cli::number(parser, QStringLiteral("interval"), 1, 86400000);
    plan.json = parser.isSet(QStringLiteral("json"));
    plan.reopen = parser.isSet(QStringLiteral("reopen"));
    const bool findSettings = parser.isSet(QStringLiteral("find-settings"));
    const bool findDirection = parser.isSet(QStringLiteral("find-direction"));
    if (findSettings && findDirection)
        cli::usage_error(QStringLiteral("--find-settings 与 --find-direction 不能同时使用"));
    if ((findSettings || findDirection) && (counted || paced))
        cli::usage_error(QStringLiteral("--find-settings 和 --find-direction 每种只试一轮，"
                                        "不能与 --count 或 --interval 同时使用"));
    // It would write the parameter to the meter at every setting it tries.
    if ((findSettings || findDirection) && plan.function == QLatin1String("write"))
        cli::usage_error(QStringLiteral("--find-settings 和 --find-direction 只能读取，"
                                        "不能与 --function write 同时使用"));
    const bool monitor = parser.isSet(QStringLiteral("monitor"));
    if (monitor && (plan.scan || findSettings || findDirection || counted || paced || plan.reopen))
        cli::usage_error(
            QStringLiteral("--monitor 只监听，不能与 --scan、--find-settings、"
                           "--find-direction、--count、--interval 或 --reopen 同时使用"));
    for (const char *o : {"monitor-rx", "gap", "capture"})
        if (!monitor && parser.isSet(QLatin1String(o)))
            cli::usage_error(QStringLiteral("--%1 只用于 --monitor").arg(QLatin1String(o)));
    plan.settingsGiven = parser.isSet(QStringLiteral("settings"));
    plan.csv = parser.value(QStringLiteral("csv"));
    if (findSettings) plan.discovery = Discovery::Settings;
    if (findDirection) plan.discovery = Discovery::Direction;
    return plan;
}

// Everything that would fail every exchange alike is told before the first:
// a frame that cannot be sent, a port that cannot be opened, settings the
// device does not hold.
std::optional<QString> check(PortSession &port, const Plan &plan) {
    Selection first = plan.base;
    first.address = QString::number(plan.addresses.first());
    first.channel = QString::number(plan.channels.first());
    QByteArray frame;
    if (const auto refusal = compose_frame(first, frame))
        return refusal_message(*refusal, option_source(refusal->box));
    // A discovery finds the settings a device or server takes: only a port
    // that cannot be opened at all ends it here.
    const auto told = [&plan](const PortError &e) -> std::optional<QString> {
        const bool row = plan.discovery != Discovery::None &&
                         (e.kind == PortError::Settings || e.kind == PortError::SettingsNotHeld ||
                          e.kind == PortError::Rs485Refused || e.kind == PortError::Rs485NotHeld);
        if (row) return std::nullopt;
        return port_message(e);
    };
    if (!port.prepare(first.port, first.settings, first.signal, KeepPolicy::Run))
        return told(port.lastError());
    // A network server is connected and holds the settings before the first exchange.
    if (!port.waitReady()) return told(port.lastError());
    return std::nullopt;
}

// Listens only: the port is opened for reading, the direction line set to
// receive at once, and nothing is ever written.
int run_monitor(QCoreApplication &app, const QCommandLineParser &parser, const Plan &plan,
                const PortMap &map) {
    MonitorPlan m;
    m.port = parser.positionalArguments().first();
    m.settings = plan.base.settings;
    m.signal = plan.base.signal;
    m.timeoutMs = plan.timeoutMs;
    m.json = plan.json;
    m.network = address_of(plan.base.port, map).text.network();
    if (parser.isSet(QStringLiteral("gap"))) {
        bool ok = false;
        const double gap = parser.value(QStringLiteral("gap")).toDouble(&ok);
        if (!ok || gap <= 0 || gap > 60000)
            cli::usage_error(QStringLiteral("--gap 的值无效：%1（应为 0 到 60000 之间的毫秒数）")
                                 .arg(parser.value(QStringLiteral("gap"))));
        m.gapMs = gap;
    }
    const std::optional<LineLevel> hold = receive_level(m.signal);
    const auto open = [&](PortSession &session, const QString &text) -> bool {
        session.setListenOnly(hold);
        // No row: the preparation drives no line and leaves the RS-485 mode off.
        if (session.prepare(text, m.settings, QString(), KeepPolicy::Run) && session.waitReady())
            return true;
        std::fprintf(stderr, "kestrova-probe: %s\n", qPrintable(port_message(session.lastError())));
        return false;
    };
    PortSession port(map);
    if (!open(port, plan.base.port)) return 2;
    std::unique_ptr<PortSession> rx;
    if (parser.isSet(QStringLiteral("monitor-rx"))) {
        m.rx = parser.value(QStringLiteral("monitor-rx"));
        PortMap rxMap = map;
        QString text = m.rx;
        if (port_text_of(text).kind == PortText::Other) {
            rxMap.map(1, text);
            text = QStringLiteral("COM1");
        }
        rx = std::make_unique<PortSession>(rxMap);
        if (!open(*rx, text)) return 2;
    }
    if (m.network)
        std::fprintf(stderr, "kestrova-probe: %s\n",
                     qPrintable(QStringLiteral("只收不发：网络串口的方向由设备服务器控制，"
                                               "本机不驱动任何线。")));
    else if (hold && port.port().wire())
        std::fprintf(stderr, "kestrova-probe: %s\n",
                     qPrintable(QStringLiteral("只收不发：方向线 %1 保持在接收电平（%2）%3。")
                                    .arg(hold->line == LineLevel::Rts ? QStringLiteral("RTS")
                                                                      : QStringLiteral("DTR"),
                                         hold->on ? QStringLiteral("接通") : QStringLiteral("断开"),
                                         m.signal == QLatin1String("RS485")
                                             ? QStringLiteral("，驱动的 RS-485 模式保持关闭")
                                             : QString())));

    BusMonitor monitor(port, rx.get(), m);
    CaptureFile capture;
    if (parser.isSet(QStringLiteral("capture"))) {
        const QString path = parser.value(QStringLiteral("capture"));
        QString reason;
        if (!capture.open(path, &reason)) {
            std::fprintf(stderr, "kestrova-probe: %s\n",
                         qPrintable(capture_failed_message(path, reason)));
            return 2;
        }
        QObject::connect(&monitor, &BusMonitor::framed, &monitor, [&](const FramedUnit &u) {
            if (!capture.isOpen()) return;
            CaptureRecord r;
            r.wallNs = u.wallNs;
            r.direction = !u.frame                             ? CaptureRecord::Unframed
                          : u.direction == FramedUnit::Request ? CaptureRecord::Request
                                                               : CaptureRecord::Reply;
            r.gapUs = u.gapNs < 0 ? -1 : u.gapNs / 1000;
            r.spanUs = u.spanNs / 1000;
            r.timeoutMs = m.timeoutMs;
            r.bytes = u.bytes;
            QString why;
            if (!capture.write(r, &why))
                std::fprintf(stderr, "kestrova-probe: %s\n",
                             qPrintable(capture_failed_message(capture.path(), why)));
        });
    }
    TerminationRequests stop;
    QObject::connect(&stop, &TerminationRequests::requested, &monitor, &BusMonitor::stop);
    QObject::connect(&monitor, &BusMonitor::finished, &app, &QCoreApplication::exit);
    monitor.start();
    return app.exec();
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrova-probe"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KC_VERSION));
    // Qt's own texts (the headings of --help, parser errors) in the tool's language.
    cli::load_qt_translations();

    QCommandLineParser parser;
    PortMap map;
    const Plan plan = read_plan(parser, app, map);
    if (parser.isSet(QStringLiteral("monitor"))) return run_monitor(app, parser, plan, map);

    PortSession port(map);
    if (const auto problem = check(port, plan)) {
        port.port().setPortOpen(false);
        std::fprintf(stderr, "kestrova-probe: %s\n", qPrintable(*problem));
        return 2;
    }

    Prober prober(port, plan);
    TerminationRequests stop;
    QObject::connect(&stop, &TerminationRequests::requested, &prober, &Prober::stop);
    QObject::connect(&prober, &Prober::finished, &app, &QCoreApplication::exit);
    prober.start();
    return app.exec();
}
