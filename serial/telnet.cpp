#include "telnet.h"

#include <initializer_list>
#include <limits>
#include <utility>

namespace telnet {

namespace {
QByteArray bytes(std::initializer_list<quint8> list) {
    QByteArray out;
    for (const quint8 b : list)
        out += char(b);
    return out;
}

// RFC 2217's numbers for parity and stop bits.
quint8 parity_code(QSerialPort::Parity p) {
    switch (p) {
    case QSerialPort::OddParity:
        return 2;
    case QSerialPort::EvenParity:
        return 3;
    case QSerialPort::MarkParity:
        return 4;
    case QSerialPort::SpaceParity:
        return 5;
    default:
        return 1;
    }
}

QSerialPort::Parity parity_of(quint32 code) {
    static constexpr QSerialPort::Parity table[] = {
        QSerialPort::NoParity, QSerialPort::OddParity, QSerialPort::EvenParity,
        QSerialPort::MarkParity, QSerialPort::SpaceParity};
    return table[code - 1];
}

quint8 stop_code(QSerialPort::StopBits s) {
    return s == QSerialPort::TwoStop ? 2 : s == QSerialPort::OneAndHalfStop ? 3 : 1;
}

QSerialPort::StopBits stop_of(quint32 code) {
    return code == 2   ? QSerialPort::TwoStop
           : code == 3 ? QSerialPort::OneAndHalfStop
                       : QSerialPort::OneStop;
}

constexpr unsigned bit(quint8 code) {
    return 1u << code;
}
constexpr unsigned kAllSettings =
    bit(SetBaudRate) | bit(SetDataSize) | bit(SetParity) | bit(SetStopSize);
} // namespace

QByteArray escape(const QByteArray &data) {
    if (!data.contains(char(IAC))) return data;
    QByteArray out;
    out.reserve(data.size() + 8);
    for (const char c : data) {
        out += c;
        if (quint8(c) == IAC) out += c;
    }
    return out;
}

QByteArray command(quint8 verb, quint8 option) {
    return bytes({IAC, verb, option});
}

QByteArray comPort(quint8 code, const QByteArray &value) {
    return bytes({IAC, SB, kComPort, code}) + escape(value) + bytes({IAC, SE});
}

QByteArray be32(quint32 v) {
    return bytes({quint8(v >> 24), quint8(v >> 16), quint8(v >> 8), quint8(v)});
}

std::optional<SettingAnswer> setting_answer(quint8 code, const QByteArray &value) {
    if (code <= kServerOffset) return std::nullopt;
    const quint8 asked = code - kServerOffset;
    if (asked == SetBaudRate) {
        if (value.size() != 4) return std::nullopt;
        const quint32 rate = quint32(quint8(value[0])) << 24 | quint32(quint8(value[1])) << 16 |
                             quint32(quint8(value[2])) << 8 | quint8(value[3]);
        if (rate == 0 || rate > quint32(std::numeric_limits<qint32>::max())) return std::nullopt;
        return SettingAnswer{SetBaudRate, rate};
    }
    if (asked < SetDataSize || asked > SetStopSize || value.size() != 1) return std::nullopt;
    const quint8 v = quint8(value[0]);
    const auto [lowest, highest] = asked == SetDataSize ? std::pair{5, 8}
                                   : asked == SetParity ? std::pair{1, 5}
                                                        : std::pair{1, 3};
    if (v < lowest || v > highest) return std::nullopt;
    return SettingAnswer{ComPort(asked), v};
}

QByteArray Negotiation::open() {
    // Binary both ways: no CR/NUL games with the frames' bytes.
    us_.set(kComPort);
    us_.set(kBinary);
    him_.set(kBinary);
    return command(WILL, kComPort) + command(WILL, kBinary) + command(DO, kBinary);
}

Negotiation::Answer Negotiation::answer(quint8 verb, quint8 o) {
    const bool ours = o == kBinary || o == kSuppressGoAhead || o == kComPort;
    const bool asks = verb == DO || verb == WILL;
    const bool aboutUs = verb == DO || verb == DONT;
    std::bitset<256> &side = aboutUs ? us_ : him_;
    Answer a;
    if (verb == DO && o == kComPort) a.comPort = ComPortSaid::Agreed;
    if (verb == DONT && o == kComPort) return {{}, ComPortSaid::Refused};
    if (verb != DO && verb != DONT && verb != WILL && verb != WONT) return a;
    if (asks && !ours) {
        if (!refused_.test(o)) a.bytes = command(aboutUs ? WONT : DONT, o);
        refused_.set(o);
    } else if (asks != side.test(o)) {
        // Only a change is confirmed.
        side.set(o, asks);
        a.bytes = command(aboutUs ? (asks ? WILL : WONT) : (asks ? DO : DONT), o);
    }
    return a;
}

QByteArray SettingsExchange::ask(const LineSettings &s) {
    asked_ = s;
    kept_ = s;
    awaited_ = kAllSettings;
    return comPort(SetBaudRate, be32(quint32(s.rate))) +
           comPort(SetDataSize, QByteArray(1, char(s.dataBits))) +
           comPort(SetParity, QByteArray(1, char(parity_code(s.parity)))) +
           comPort(SetStopSize, QByteArray(1, char(stop_code(s.stopBits))));
}

bool SettingsExchange::take(quint8 code, const QByteArray &value) {
    // Only a code asked and still awaited answers, whatever the value says.
    const int asked = code - kServerOffset;
    if (asked < SetBaudRate || asked > SetStopSize || !(awaited_ & bit(quint8(asked))))
        return false;
    const std::optional<SettingAnswer> answer = setting_answer(code, value);
    if (!answer) return false;
    switch (answer->asked) {
    case SetBaudRate:
        kept_.rate = qint32(answer->value);
        break;
    case SetDataSize:
        kept_.dataBits = QSerialPort::DataBits(answer->value);
        break;
    case SetParity:
        kept_.parity = parity_of(answer->value);
        break;
    default:
        kept_.stopBits = stop_of(answer->value);
        break;
    }
    awaited_ &= ~bit(answer->asked);
    if (awaited_ == 0) confirmed_ = held() ? std::optional(asked_) : std::nullopt;
    return true;
}

void Decoder::feed(const QByteArray &bytes, QByteArray &data, QList<Event> &events) {
    for (const char ch : bytes) {
        const quint8 b = quint8(ch);
        switch (state_) {
        case State::Data:
            if (b == IAC)
                state_ = State::Iac;
            else
                data += ch;
            break;
        case State::Iac:
            if (b == IAC) {
                data += ch;
                state_ = State::Data;
            } else {
                command(b);
            }
            break;
        case State::Option:
            events.append({Event::Verb, verb_, b, {}});
            state_ = State::Data;
            break;
        case State::SubOption:
            subOption_ = b;
            sub_.clear();
            tooLong_ = false;
            state_ = State::Sub;
            break;
        case State::Sub:
            if (b == IAC) {
                state_ = State::SubIac;
            } else if (sub_.size() < kMaxSub) {
                sub_ += ch;
            } else {
                tooLong_ = true;
            }
            break;
        case State::SubIac:
            if (b == IAC) {
                if (sub_.size() < kMaxSub)
                    sub_ += ch;
                else
                    tooLong_ = true;
                state_ = State::Sub;
                break;
            }
            // IAC SE ends it; any other command ends it as well, and a
            // subnegotiation cut short that way is not trusted.
            if (b == SE && !tooLong_) events.append({Event::Sub, 0, subOption_, sub_});
            if (tooLong_) ++dropped_;
            sub_.clear();
            tooLong_ = false;
            state_ = State::Data;
            // The byte after IAC is a command of its own.
            if (b != SE) command(b);
            break;
        }
    }
}

void Decoder::command(quint8 b) {
    if (b >= WILL) {
        verb_ = b;
        state_ = State::Option;
    } else if (b == SB) {
        state_ = State::SubOption;
    } else {
        // NOP, GA, a stray SE and the rest carry nothing for us.
        state_ = State::Data;
    }
}

} // namespace telnet
