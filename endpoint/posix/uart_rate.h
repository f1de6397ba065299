// How UARTs make their rates: the divisor that each kind's driver programs
// for a rate and the rate the chip then runs at. A driver reports back the
// rate it was asked for even where its UART runs at another, so a rate is
// judged by these rules where the UART is known. Plain arithmetic over
// plain values, apart from the system that tells which UART a port has.
#pragma once

#include <cstdint>

// The UARTs whose rules are known.
enum uart_kind {
    uart_unknown,  // rules not known: the driver's own report is trusted
    uart_16550,    // the 8250 driver's plain 16550: the clock / 16 divided by a whole number
    uart_pl011,    // ARM's PL011: the clock / 16 divided in 64ths, at most clock / 16
    uart_ftdi_bm,  // FTDI FT232B, FT232R, FT2232C/D, FT-X: 3 MHz divided in eighths
    uart_ftdi_h,   // FTDI FT232H, FT2232H, FT4232H and their HP kin: 12 MHz in eighths
    uart_ch341,    // WCH CH340/CH341: 48 MHz over a prescaler and a divisor of 2 to 256
    uart_pl2303_h,    // Prolific PL2303H: a table of rates, else a divisor of 4^n steps
    uart_pl2303_hx,   // PL2303HX: as the H, up to 6 MBd
    uart_pl2303_hxd,  // PL2303HXD: as the H, up to 12 MBd
    uart_pl2303_ta,   // PL2303TA: the table, else a divisor of 2^n steps, up to 6 MBd
    uart_pl2303_tb,   // PL2303TB: as the TA, up to 12 MBd
    uart_pl2303_g,    // PL2303G (HXN): any rate sent as it is, up to 12 MBd
};

// A port's UART: its kind and the clock its driver divides, in Hz (for the
// 8250 and the PL011 16 times the base rate that they report; 48 MHz for
// the FTDI B/R family and the CH340/CH341, 120 MHz for the H series, 12 MHz
// for the PL2303), and whether its driver drops the RTS/CTS handshake that
// termios still shows (ch341 before Linux 6.14 writes no flow control).
struct uart_rules {
    uart_kind kind;
    std::int64_t clock_hz;
    bool drops_handshake = false;
};

// What uart_rate_made returns for a rate outside what the driver takes at
// all, where it keeps the rate that the port ran at before.
constexpr std::int32_t uart_keeps_rate = -1;

// Returns the rate in baud that a UART of kind, fed clock_hz, runs at once
// its driver has been asked for rate (> 0), worked out as the driver works
// out its divisor, overflow included, and as the chip reads that divisor;
// uart_keeps_rate where the driver keeps the port's rate, 0 where the chip
// cannot take the divisor. For uart_unknown, returns rate.
std::int32_t uart_rate_made(uart_kind kind, std::int64_t clock_hz, std::int32_t rate);

// Returns how long, in ms, a port closing after its drain waits for the last
// bytes to leave a UART of kind running at rate (> 0): the time its
// transmit buffer takes to empty where its driver's drain cannot tell that
// the chip itself is empty, at least 100 ms and at most 2 s; 100 ms for
// all others.
int uart_close_pause_ms(uart_kind kind, std::int32_t rate);

// Returns the UART of the terminal fd as far as the system tells it, with
// kind uart_unknown when it does not (a pseudo-terminal, another driver).
uart_rules uart_rules_of(int fd);
