#include "messages.h"

#include <QStringList>

namespace {

QString port_name(const PortError &e) {
    return QStringLiteral("COM%1（%2）").arg(e.port).arg(e.device);
}

// The option that gave a box's text.
QString option_of(Box box) {
    switch (box) {
    case Box::Port:
        return QStringLiteral("设备");
    case Box::Settings:
        return QStringLiteral("--settings");
    case Box::Signal:
        return QStringLiteral("--direction");
    case Box::Model:
        return QStringLiteral("--model");
    case Box::Function:
        return QStringLiteral("--function");
    case Box::Address:
        return QStringLiteral("--address");
    case Box::Channel:
        return QStringLiteral("--channel");
    case Box::Parameter:
        return QStringLiteral("--parameter");
    case Box::Value:
        return QStringLiteral("--value");
    case Box::Concentrator:
        return QStringLiteral("--concentrator");
    }
    return {};
}

// A value can be 100,000 characters long; the message shows the start.
QString shown(const QString &text) {
    constexpr int kShown = 60;
    return text.size() > kShown ? text.left(kShown) + QChar(0x2026) : text;
}

} // namespace

QString port_message(const PortError &e) {
    switch (e.kind) {
    case PortError::NotFound:
        return QStringLiteral("无法打开通讯口 %1：设备不存在（%2）").arg(port_name(e), e.reason);
    case PortError::Permission:
        return QStringLiteral("无法打开通讯口 %1：没有访问权限（%2）；请把当前用户加入 dialout 组")
            .arg(port_name(e), e.reason);
    case PortError::Busy:
        return QStringLiteral("无法打开通讯口 %1：该口正被其他程序占用（%2）")
            .arg(port_name(e), e.reason);
    case PortError::Settings:
        return QStringLiteral("--settings 的值无效：%1（格式为“波特率,校验,数据位,停止位”，"
                              "例如 9600,n,8,2）")
            .arg(e.reason);
    case PortError::Io:
    case PortError::None:
        break;
    }
    return QStringLiteral("通讯口 %1出错：%2").arg(port_name(e), e.reason);
}

QString broken_message(const PortError &e) {
    return QStringLiteral("通讯口 %1已断开：%2").arg(port_name(e), e.reason);
}

QString unheld_message(const QString &settings, const QString &device, const QStringList &parts) {
    return QStringLiteral("设备 %1 不支持线路设置 %2（%3）")
        .arg(device, settings, parts.join(QStringLiteral(", ")));
}

QString refusal_message(const FrameRefusal &r) {
    QString why;
    switch (r.reason) {
    case FrameRefusal::NumberOutOfRange:
        why = QStringLiteral("数值超出可发送的范围（%1 到 %2）")
                  .arg(r.range.lowest)
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
    return QStringLiteral("%1 的值“%2”无法组成请求帧：%3")
        .arg(option_of(r.box), shown(r.text), why);
}
