#pragma once

#include <QByteArray>
#include <QList>
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

} // namespace telnet
