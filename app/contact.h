#pragma once

// The maker's contact data. Kept here only: the link captions, the addresses
// they open and the dial row of the AT box all come from these, and the
// package and its metainfo read web and mail from this file (packaging/).
namespace contact {
inline constexpr char web[] = "http://kestrova.example";
inline constexpr char mail[] = "info@kestrova.example";
inline constexpr char dialCommand[] = "+++ATDT5550123"; // fictitious number
} // namespace contact
