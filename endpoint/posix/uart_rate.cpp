// The rate rules of the UARTs that Linux drivers program in known ways:
// the 8250 core's whole divisor, the PL011's sixty-fourths, the eighths of
// FTDI's USB adapters. Each follows its driver's arithmetic (the divisor
// it rounds to, the bounds it keeps) and then the chip's reading of the
// divisor.
#include "uart_rate.h"

namespace {

// DIV_ROUND_CLOSEST of the kernel, for positive values.
std::int64_t div_closest(std::int64_t x, std::int64_t d)
{
    return (x + d / 2) / d;
}

// The 8250 core: clock / (16 * rate) rounded, for rates from clock / 16 /
// 65535 (in whole baud) up to 1% above clock / 16; outside those, the core
// keeps the old rate. The divisor goes into the chip's two 8-bit latches, which keep
// its low 16 bits: a rate a little above the bound (1 baud from 115200)
// overflows them.
std::int32_t rate_16550(std::int64_t clock, std::int64_t rate)
{
    if (rate < clock / 16 / 65535 || rate > (clock + clock / 100) / 16) return uart_keeps_rate;
    const std::int64_t quot = div_closest(clock, 16 * rate) & 0xffff;
    if (quot == 0) return 0;
    return static_cast<std::int32_t>(div_closest(clock, 16 * quot));
}

// amba-pl011: clock * 4 / rate rounded, sixty-fourths of 16 clocks, whose
// whole part goes into a 16-bit register. The serial core takes rates up
// to clock / 16 only, and keeps the old rate above.
std::int32_t rate_pl011(std::int64_t clock, std::int64_t rate)
{
    if (rate > clock / 16) return uart_keeps_rate;
    std::int64_t quot = div_closest(clock * 4, rate);
    quot = ((quot >> 6) & 0xffff) << 6 | (quot & 63);
    if (quot < 64) return 0;
    return static_cast<std::int32_t>(div_closest(clock * 4, quot));
}

// The divisor word that ftdi_sio sends for a divisor of eighths / 8: the
// whole part in bits 0-13, the eighths coded in bits 14-16. A whole part
// wider than 14 bits runs into the code bits, as it does in the driver.
// The divisors 1 and 1.5 go as the chip's special words 0 and 1.
std::uint32_t ftdi_divisor_word(std::int64_t eighths)
{
    static constexpr std::uint32_t code[8] = {0, 3, 2, 4, 1, 5, 6, 7};
    const std::uint32_t word = static_cast<std::uint32_t>(eighths >> 3) | code[eighths & 7] << 14;
    if (word == 1) return 0;
    if (word == 0x4001) return 1;
    return word;
}

// The rate an FTDI chip runs at for a divisor word, from a clock of
// clock_8 eighths per second (8 times the 3 MHz or 12 MHz it divides):
// the words 0 and 1 give the divisors 1 and 1.5; no other divisor below 2
// works on these chips, and gives 0 here.
std::int32_t ftdi_chip_rate(std::uint32_t word, std::int64_t clock_8)
{
    static constexpr std::int64_t eighths_of[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    std::int64_t eighths = 8 * (word & 0x3fff) + eighths_of[(word >> 14) & 7];
    if (eighths == 0) eighths = 8;
    else if (eighths == 8) eighths = 12;
    else if (eighths < 16) return 0;
    return static_cast<std::int32_t>(div_closest(clock_8, eighths));
}

// FT232B/R and kin, clock 48 MHz: eighths of clock / 16 rounded, up to
// clock / 16; above it the driver falls back to 9600 and reports that.
std::int32_t rate_ftdi_bm(std::int64_t clock, std::int64_t rate)
{
    if (rate > clock / 16) rate = 9600;
    return ftdi_chip_rate(ftdi_divisor_word(div_closest(clock, 2 * rate)), clock / 2);
}

// The H series, clock 120 MHz: from 1200 baud up to clock / 10 eighths of
// clock / 10 with bit 17 set (no division by 2.5); below 1200 the B/R rule
// on clock / 2.5; above clock / 10 the driver falls back to 9600.
std::int32_t rate_ftdi_h(std::int64_t clock, std::int64_t rate)
{
    const std::int64_t slow_clock = clock * 2 / 5;
    if (rate > clock / 10) rate = 9600;
    const std::uint32_t word =
        rate >= 1200 ? ftdi_divisor_word(div_closest(8 * clock, 10 * rate)) | 0x20000
                     : ftdi_divisor_word(div_closest(slow_clock, 2 * rate));
    return ftdi_chip_rate(word, word & 0x20000 ? clock * 8 / 10 : slow_clock / 2);
}

}  // namespace

std::int32_t uart_rate_made(uart_kind kind, std::int64_t clock_hz, std::int32_t rate)
{
    if (rate <= 0 || clock_hz <= 0) return kind == uart_unknown ? rate : 0;
    switch (kind) {
    case uart_16550: return rate_16550(clock_hz, rate);
    case uart_pl011: return rate_pl011(clock_hz, rate);
    case uart_ftdi_bm: return rate_ftdi_bm(clock_hz, rate);
    case uart_ftdi_h: return rate_ftdi_h(clock_hz, rate);
    case uart_unknown: break;
    }
    return rate;
}
