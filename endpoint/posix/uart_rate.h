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
};

// A port's UART: its kind and the clock its driver divides, in Hz (for the
// 8250 and the PL011 16 times the base rate that they report; 48 MHz for
// the FTDI B/R family, 120 MHz for the H series).
struct uart_rules {
    uart_kind kind;
    std::int64_t clock_hz;
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

// Returns the UART of the terminal fd as far as the system tells it, with
// kind uart_unknown when it does not (a pseudo-terminal, another driver).
uart_rules uart_rules_of(int fd);
