#pragma once

#include "settings.h"

#include <QByteArray>
#include <QList>
#include <bitset>
#include <optional>

// Telnet framing with the COM-PORT-OPTION of RFC 2217, without any I/O: bytes
// for the server are built here, bytes from it are split here into data and
// commands. What comes from the network is untrusted: a subnegotiation longer
// than kMaxSub is dropped whole, and nothing else is kept between calls.
namespace telnet {

inline constexpr quint8 IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
inline constexpr quint8 kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
inline constexpr int kMaxSub = 256;

// Client-to-server COM-PORT-OPTION commands; the server answers each + 100.
enum ComPort : quint8 {
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    PurgeData = 12,
};
inline constexpr quint8 kServerOffset = 100;

// SET-CONTROL values and PURGE-DATA choices.
inline constexpr quint8 kDtrOn = 8, kDtrOff = 9, kRtsOn = 11, kRtsOff = 12;
inline constexpr quint8 kPurgeReceive = 1, kPurgeTransmit = 2;

// Data with every 0xFF doubled.
QByteArray escape(const QByteArray &data);
// IAC verb option.
QByteArray command(quint8 verb, quint8 option);
// IAC SB COM-PORT-OPTION code value... IAC SE, the value escaped.
QByteArray comPort(quint8 code, const QByteArray &value);
// Big-endian 32-bit, as SET-BAUDRATE wants it.
QByteArray be32(quint32 v);

// A server's answer to one of the four settings requests (its code less
// kServerOffset) with the value it holds, checked against what the option
// allows: the rate (1 to INT_MAX), the data size (5 to 8), RFC 2217's number
// for the parity (1 to 5) or the stop bits (1 to 3). Nothing for any other
// code or value: an answer counts only for a question that can be asked.
struct SettingAnswer {
    ComPort asked;
    quint32 value;
};
std::optional<SettingAnswer> setting_answer(quint8 code, const QByteArray &value);

struct Event {
    enum Kind { Verb, Sub };
    Kind kind;
    quint8 verb = 0;    // Verb: WILL, WONT, DO or DONT
    quint8 option = 0;  // the option it concerns
    QByteArray payload; // Sub: what followed the option, unescaped
    bool operator==(const Event &) const = default;
};

// Splits the server's stream into data and events, whatever the stream's
// cut into pieces.
class Decoder {
public:
    // Appends the data bytes of `bytes` to `data` and the commands to `events`.
    void feed(const QByteArray &bytes, QByteArray &data, QList<Event> &events);
    // Subnegotiations dropped for their length so far.
    int dropped() const { return dropped_; }

private:
    enum class State { Data, Iac, Option, SubOption, Sub, SubIac };
    // The byte after IAC, other than IAC itself.
    void command(quint8 b);
    State state_ = State::Data;
    quint8 verb_ = 0;
    quint8 subOption_ = 0;
    QByteArray sub_;
    bool tooLong_ = false;
    int dropped_ = 0;
};

// The options of an RFC 2217 client: binary both ways, the COM-PORT-OPTION
// ours, SUPPRESS-GO-AHEAD taken either way, any other refused.
class Negotiation {
public:
    enum class ComPortSaid { Nothing, Agreed, Refused };
    struct Answer {
        QByteArray bytes; // for the server, empty for none
        ComPortSaid comPort = ComPortSaid::Nothing;
    };
    // WILL COM-PORT, WILL BINARY, DO BINARY: what the client opens with.
    QByteArray open();
    // The answer to the server's DO, DONT, WILL or WONT. A state already held
    // is not answered again, and an option refused once is not refused again:
    // a server repeating itself gets no echo. DONT COM-PORT is not answered.
    Answer answer(quint8 verb, quint8 option);

private:
    std::bitset<256> us_, him_, refused_; // options we do, the server does, we refused
};

// The four settings requests of the COM-PORT-OPTION and the server's answers.
// An answer counts only for a request asked and not answered since; the value
// must be one setting_answer() takes. Anything else is ignored.
class SettingsExchange {
public:
    // SET-BAUDRATE, -DATASIZE, -PARITY and -STOPSIZE for `s`, all four
    // awaited anew.
    QByteArray ask(const LineSettings &s);
    // A server's COM-PORT subnegotiation (code and value); whether it counted.
    bool take(quint8 code, const QByteArray &value);
    // Nothing awaited: the four asked last have been answered, or none was
    // asked.
    bool answered() const { return awaited_ == 0; }
    const LineSettings &asked() const { return asked_; }
    // What the server holds: its answers, and what was asked where it has
    // not answered yet.
    const LineSettings &kept() const { return kept_; }
    bool held() const { return settings_held(asked_, kept_); }
    // Whether `s` are the settings last read back in full, and held: asking
    // them again need not wait for the answers.
    bool readBack(const LineSettings &s) const { return confirmed_ == s; }

private:
    LineSettings asked_;
    LineSettings kept_;
    std::optional<LineSettings> confirmed_;
    unsigned awaited_ = 0; // one bit per code
};

} // namespace telnet
