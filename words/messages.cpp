#include "messages.h"

#include "netserialport.h"
#include "readable.h"

#include <QStringList>

namespace {

bool is_bidi_control(char16_t u) {
    return u == 0x061C || u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E) ||
           (u >= 0x2066 && u <= 0x2069);
}

// Texts can be 100,000 characters long; a message shows the start.
QString quoted(const QString &text) {
    constexpr int kShown = 60;
    qsizetype cut = text.size() > kShown ? kShown : text.size();
    if (cut < text.size() && text[cut - 1].isHighSurrogate()) --cut; // never half a character
    QString shown;
    for (qsizetype i = 0; i < cut; ++i) {
        const char16_t u = text[i].unicode();
        // Control characters would vanish or break the line in the dialog, and a
        // direction mark or override would reorder the rest of the message; the
        // user sees each by name, as the windows show it (⟨CR⟩, ⟨7F⟩).
        if (u < 32 || u == 127)
            append_bracketed(shown, byte_name(uchar(u)), Brackets::Angle);
        else if (is_bidi_control(u))
            append_bracketed(shown,
                             QStringLiteral("U+%1").arg(int(u), 4, 16, QLatin1Char('0')).toUpper(),
                             Brackets::Angle);
        else
            shown += text[i];
    }
    if (cut < text.size()) shown += QChar(0x2026);
    return QChar(0x201C) + shown + QChar(0x201D);
}

// The port as the user gave it; "COMn" with the device behind it.
QString port_name(const PortError &e) {
    if (!e.name.isEmpty() && !e.name.startsWith(QLatin1String("COM"))) return e.name;
    return QStringLiteral("COM%1（%2）").arg(e.port).arg(e.device);
}

// Why a network serial server could not be used, or nothing for other kinds.
QString network_words(const PortError &e) {
    switch (e.kind) {
    case PortError::HostNotFound:
        return QStringLiteral("找不到该主机");
    case PortError::Refused:
        return QStringLiteral("连接被拒绝，该地址上没有服务在监听");
    case PortError::Closed:
        return QStringLiteral("服务器关闭了连接");
    case PortError::NoAnswer:
        return QStringLiteral("3 秒内没有应答");
    case PortError::OptionRefused:
        return QStringLiteral("服务器不支持 RFC 2217 串口选项（COM-PORT-OPTION），"
                              "可改用 socket:// 地址");
    default:
        return {};
    }
}

QString parity_words(QSerialPort::Parity p) {
    switch (p) {
    case QSerialPort::EvenParity:
        return QStringLiteral("偶校验");
    case QSerialPort::OddParity:
        return QStringLiteral("奇校验");
    case QSerialPort::MarkParity:
        return QStringLiteral("标记校验");
    case QSerialPort::SpaceParity:
        return QStringLiteral("空格校验");
    default:
        return QStringLiteral("无校验");
    }
}

QString stop_words(QSerialPort::StopBits s) {
    switch (s) {
    case QSerialPort::OneStop:
        return QStringLiteral("1 位停止位");
    case QSerialPort::OneAndHalfStop:
        return QStringLiteral("1.5 位停止位");
    default:
        return QStringLiteral("2 位停止位");
    }
}

// Each setting the device did not take, as "asked" and as "kept".
QString settings_not_held(const PortError &e) {
    QStringList asked, kept;
    const LineSettings &a = e.asked, &k = e.kept;
    if (a.rate != k.rate) {
        asked << QStringLiteral("波特率 %1").arg(a.rate);
        kept << QStringLiteral("波特率 %1").arg(k.rate);
    }
    if (a.parity != k.parity) {
        asked << parity_words(a.parity);
        kept << parity_words(k.parity);
    }
    if (a.dataBits != k.dataBits) {
        asked << QStringLiteral("%1 位数据位").arg(int(a.dataBits));
        kept << QStringLiteral("%1 位数据位").arg(int(k.dataBits));
    }
    if (a.stopBits != k.stopBits) {
        asked << stop_words(a.stopBits);
        kept << stop_words(k.stopBits);
    }
    const QString sep = QStringLiteral("、");
    return QStringLiteral("通讯口 %1 不能采用设置“%2”：设备不接受%3，仍保持%4（即“%5”）。\n"
                          "未发送任何内容。请改用该设备支持的设置。")
        .arg(port_name(e), settings_text(a), asked.join(sep), kept.join(sep), settings_text(k));
}

// What is wrong with a text that looks like a network address.
QString address_problem(const PortError &e) {
    switch (e.problem) {
    case PortText::UnknownScheme:
        return QStringLiteral("不支持“%1”这种地址，只支持 rfc2217:// 和 socket://")
            .arg(e.name.section(QStringLiteral("://"), 0, 0) + QStringLiteral("://"));
    case PortText::NoHost:
        return QStringLiteral("地址中没有主机名");
    case PortText::BadHost:
        return QStringLiteral("主机名无效");
    case PortText::NoPort:
        return QStringLiteral("地址中没有端口号");
    case PortText::PortRange:
        return QStringLiteral("端口号无效，应为 1 到 65535 的整数");
    case PortText::UserPart:
        return QStringLiteral("地址中不能有用户名（“@”及其前面的部分）");
    case PortText::Extra:
        return QStringLiteral("端口号之后不能再有路径、查询或片段（“/”、“?”、“#”）");
    case PortText::NoProblem:
        break;
    }
    return QStringLiteral("地址无效");
}

QString present_devices(const PortError &e) {
    if (e.present.isEmpty()) return QStringLiteral("\n本机没有找到任何串口设备。");
    QString list = QStringLiteral("\n本机现有的串口设备：");
    for (const PresentDevice &d : e.present)
        list += d.description.isEmpty()
                    ? QStringLiteral("\n  %1").arg(d.device)
                    : QStringLiteral("\n  %1（%2）").arg(d.device, d.description);
    return list;
}

} // namespace

QString port_message(const PortError &e) {
    switch (e.kind) {
    case PortError::NotFound:
        return QStringLiteral(
                   "无法打开通讯口 "
                   "%1：设备不存在（%2）。\n请在“通讯口”框的下拉列表中选一个现有设备（列表在 "
                   "COM16 之后），或直接输入设备路径，或用 --com N=设备 指定设备。")
                   .arg(port_name(e), e.reason) +
               present_devices(e);
    case PortError::Permission:
        return QStringLiteral("无法打开通讯口 %1：没有访问权限（%2）。\n请把当前用户加入 dialout "
                              "组（sudo usermod -aG dialout $USER），重新登录后再试。")
            .arg(port_name(e), e.reason);
    case PortError::Busy:
        return QStringLiteral("无法打开通讯口 %1：该口正被其他程序占用（%2）。")
            .arg(port_name(e), e.reason);
    case PortError::Settings:
        return QStringLiteral("通讯口 %1 不接受设置 "
                              "%2。\n格式为“波特率,校验,数据位,停止位”，例如“9600,n,8,2”。")
            .arg(port_name(e), quoted(e.reason));
    case PortError::SettingsNotHeld:
        return settings_not_held(e);
    case PortError::LineRefused:
        return QStringLiteral("通讯口 %1 无法设置 %2 线：%3。\n由该线切换收发方向的 RS-485 "
                              "转换器不会发送，仪表收不到请求。\n请把“发送信号”选为“MODEM”，"
                              "或改用能自动控制收发方向的转换器。")
            .arg(port_name(e), e.line, e.reason);
    case PortError::Rs485Refused:
        return QStringLiteral("通讯口 %1 的驱动程序不支持 RS-485 模式（%2），无法由驱动自动切换收发"
                              "方向。\n未发送任何内容。请把“发送信号”选为“RTS=0”或“RTS=1”，"
                              "或改用能自动控制收发方向的转换器。")
            .arg(port_name(e), e.reason);
    case PortError::Rs485Kept:
        return QStringLiteral("通讯口 %1 的驱动程序已处于 RS-485 模式（例如开机时已启用），"
                              "由驱动自行控制 RTS 线，“发送信号”的选择对 RTS 不起作用。\n"
                              "如需由本程序控制方向，请先在系统中关闭该口的 RS-485 模式；"
                              "否则请把“发送信号”选为“RS485”。")
            .arg(port_name(e));
    case PortError::NotConfirmed:
        return QStringLiteral("网络串口 %1 的服务器没有在等待时间（%2 毫秒）内确认线路设置，"
                              "该帧未发送。")
            .arg(port_name(e))
            .arg(NetSerialPort::kHoldMs);
    case PortError::Rs485NotHeld:
        return QStringLiteral("通讯口 %1 的驱动程序接受了 RS-485 模式，但读回时没有保持“发送时 "
                              "RTS 有效”，由 RTS 切换收发方向的转换器不会发送。\n未发送任何内容。"
                              "请把“发送信号”选为“RTS=0”或“RTS=1”，或改用能自动控制收发方向的"
                              "转换器。")
            .arg(port_name(e));
    case PortError::NoRealtime:
        return QStringLiteral(
                   "通讯口 %1：本程序没有获得实时调度优先级（%2），机器繁忙时收发方向线可能"
                   "在发送结束后晚几毫秒才切回接收，3 毫秒内就应答的仪表的回复开头会丢失。\n"
                   "可以这样解决：在桌面会话中运行并安装 rtkit；或在 /etc/security/limits.d/ "
                   "中给用户实时优先级限额，例如“@dialout - rtprio 10”，重新登录后生效；"
                   "或把“发送信号”选为“RS485”（由驱动切换方向）；或改用能自动控制收发方向的"
                   "转换器。")
            .arg(port_name(e), e.reason);
    case PortError::HostNotFound:
    case PortError::Refused:
    case PortError::Closed:
    case PortError::NoAnswer:
    case PortError::OptionRefused:
        return QStringLiteral("无法使用网络串口 %1：%2。").arg(port_name(e), network_words(e));
    case PortError::BadAddress:
        return QStringLiteral("无法使用通讯口 %1：%2。\n未发送任何内容。网络串口的写法为 "
                              "rfc2217://主机:端口 或 socket://主机:端口。")
            .arg(quoted(e.name), address_problem(e));
    case PortError::NotSerial:
        return QStringLiteral("无法打开通讯口 %1：该路径不是串口设备%2。\n请在“通讯口”框的下拉"
                              "列表中选一个串口设备，例如 /dev/ttyUSB0。")
            .arg(port_name(e),
                 e.reason.isEmpty() ? QString() : QStringLiteral("（%1）").arg(e.reason));
    case PortError::HungUp:
    case PortError::Removed:
    case PortError::Io:
    case PortError::None:
        break;
    }
    return QStringLiteral("通讯口 %1 出错：%2。").arg(port_name(e), e.reason);
}

QString broken_message(const PortError &e) {
    if (const QString net = network_words(e); !net.isEmpty())
        return QStringLiteral("网络串口 %1 不可用：%2；已断开连接。").arg(port_name(e), net);
    if (e.kind == PortError::SettingsNotHeld) return port_message(e);
    QString why = e.reason;
    if (e.kind == PortError::HungUp)
        why = QStringLiteral("设备已挂断（连接断开或设备被拔出）");
    else if (e.kind == PortError::Removed)
        why = QStringLiteral("设备已被移除");
    return QStringLiteral("通讯口 %1 已断开：%2。\n已关闭该口。").arg(port_name(e), why);
}

QString refusal_message(const FrameRefusal &r, const QString &source) {
    QString why;
    switch (r.reason) {
    case FrameRefusal::NumberOutOfRange:
        why = QStringLiteral("数值超出可发送的范围（该项可发送 %1 到 %2）")
                  .arg(QString::number(r.range.lowest).replace(QLatin1Char('-'), QChar(0x2212)))
                  .arg(r.range.highest);
        break;
    case FrameRefusal::NotAscii:
        why = QStringLiteral("含有 ASCII 以外的字符");
        break;
    case FrameRefusal::SumTooLarge:
        why =
            QStringLiteral("文本过长，请求帧的校验和达到 %1 或以上，无法用五位写出").arg(kSumLimit);
        break;
    }
    return QStringLiteral("%1 %2 无法组成请求帧：%3。\n未发送任何内容。")
        .arg(source, quoted(r.text), why);
}

QString at_not_ascii_message(const QString &command) {
    return QStringLiteral("AT命令行 %1 含有 ASCII 以外的字符，无法发送。\n未发送任何内容。")
        .arg(quoted(command));
}

QString save_failed_message(const QString &path, const QString &reason) {
    return QStringLiteral("无法保存到文件 %1：%2。").arg(path, reason);
}

QString capture_failed_message(const QString &path, const QString &reason) {
    return QStringLiteral("无法写入抓包文件 %1：%2。\n抓包已停止，通讯照常进行。")
        .arg(path, reason);
}

QString log_failed_message(const QString &path, const QString &reason) {
    return QStringLiteral("无法写入会话日志 %1：%2。\n会话日志已停止，通讯照常进行。")
        .arg(path, reason);
}
