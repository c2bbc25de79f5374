#pragma once
/* The time one character takes on the wire, for the release of the direction
 * line, the simulator's pacing and the line shim (which is C) alike.
 *
 * Bits: start, data, parity, stop. 1.5 stop bits (termios says CSTOPB, which
 * a UART sends as 1.5 with five data bits) count as 2: a character counted so
 * never ends before its last stop bit, and no release comes early. */

static inline int kc_bits_per_char(int dataBits, int parity, int moreThanOneStop) {
    return 1 + dataBits + (parity ? 1 : 0) + (moreThanOneStop ? 2 : 1);
}

/* Nanoseconds, rounded up. */
static inline long long kc_char_ns(int bitsPerChar, int rate) {
    return rate > 0 ? ((long long)bitsPerChar * 1000000000LL + rate - 1) / rate : 0;
}
