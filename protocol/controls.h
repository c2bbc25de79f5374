#pragma once

// The control characters frames and display lines are built from.
namespace ctl {
inline constexpr char DC1 = 17;
inline constexpr char DC2 = 18;
inline constexpr char DC3 = 19;
inline constexpr char DC4 = 20;
inline constexpr char STX = 2;
inline constexpr char ETX = 3;
inline constexpr char ETB = 23;
inline constexpr char RS = 30;
inline constexpr char US = 31;
inline constexpr char ACK = 6;
inline constexpr char NAK = 21;
inline constexpr char CAN = 24;
inline constexpr char CR = 13;
inline constexpr char LF = 10;
inline constexpr char SP = 32;

// The short name of every code 0..31, as windows, logs and messages show it.
inline constexpr const char *kNames[32] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                           "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                           "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                           "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
} // namespace ctl
