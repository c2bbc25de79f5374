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
