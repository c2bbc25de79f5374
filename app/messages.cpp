#include "messages.h"

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
        // user sees each as a visible sign of what the box holds.
        if (u < 32)
            shown += QChar(char16_t(0x2400 + u));
        else if (u == 127)
            shown += QChar(char16_t(0x2421));
        else if (is_bidi_control(u))
            shown +=
                QStringLiteral("\u27e8U+%1\u27e9").arg(int(u), 4, 16, QLatin1Char('0')).toUpper();
        else
            shown += text[i];
    }
    if (cut < text.size()) shown += QChar(0x2026);
    return QChar(0x201C) + shown + QChar(0x201D);
}

QString port_name(const PortError &e) {
    return QStringLiteral("COM%1（%2）").arg(e.port).arg(e.device);
}

QString box_label(const QString &box) {
    if (box == QLatin1String("Combo6")) return QStringLiteral("仪表地址");
    if (box == QLatin1String("Combo7")) return QStringLiteral("仪表通道");
    if (box == QLatin1String("Combo8")) return QStringLiteral("参 数 号");
    if (box == QLatin1String("Combo9")) return QStringLiteral("参 数 值");
    if (box == QLatin1String("Combo10")) return QStringLiteral("LNK 地址");
    return box;
}

} // namespace

QString port_message(const PortError &e) {
    switch (e.kind) {
    case PortError::NotFound:
        return QStringLiteral("无法打开通讯口 %1：设备不存在（%2）。\n请检查通讯口选择，或用 --com "
                              "N=设备 指定设备。")
            .arg(port_name(e), e.reason);
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
    case PortError::Io:
    case PortError::None:
        break;
    }
    return QStringLiteral("通讯口 %1 出错：%2。").arg(port_name(e), e.reason);
}

QString broken_message(const PortError &e) {
    return QStringLiteral("通讯口 %1 已断开：%2。\n已关闭该口；设备恢复后按 TEST 重新打开。")
        .arg(port_name(e), e.reason);
}

QString refusal_message(const FrameRefusal &r) {
    QString why;
    switch (r.reason) {
    case FrameRefusal::NumberOutOfRange:
        why = QStringLiteral("数值超出可发送的范围");
        break;
    case FrameRefusal::NotAscii:
        why = QStringLiteral("含有 ASCII 以外的字符");
        break;
    case FrameRefusal::SumTooLarge:
        why = QStringLiteral("文本过长，校验和超出范围");
        break;
    }
    return QStringLiteral("“%1”框（%2）中的文本 %3 无法组成请求帧：%4。\n未发送任何内容。")
        .arg(box_label(r.box), r.box, quoted(r.text), why);
}

QString at_not_ascii_message(const QString &command) {
    return QStringLiteral("AT命令行 %1 含有 ASCII 以外的字符，无法发送。\n未发送任何内容。")
        .arg(quoted(command));
}

QString save_failed_message(const QString &path, const QString &reason) {
    return QStringLiteral("无法保存到文件 %1：%2。").arg(path, reason);
}

QString log_failed_message(const QString &path, const QString &reason) {
    return QStringLiteral("无法写入会话日志 %1：%2。\n会话日志已停止，通讯照常进行。")
        .arg(path, reason);
}
