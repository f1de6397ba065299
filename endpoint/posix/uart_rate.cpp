// The rate rules of the UARTs that Linux drivers program in known ways:
// the 8250 core's whole divisor, the PL011's sixty-fourths, the eighths of
// FTDI's USB adapters, the prescaler and divisor of WCH's CH340/CH341 and
// the rate table and divisors of Prolific's PL2303. Each follows its
// driver's arithmetic (the divisor it rounds to, the bounds it keeps) and
// then the chip's reading of the divisor.
#include "uart_rate.h"

#include <iterator>

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

// The two registers that ch341 writes for a rate: the prescaler (the
// exponent ps in bits 0-1, the factor of 2 in bit 2) and 256 less the
// divisor. The driver clamps the rate to what the chip can make (46 baud to
// 3 MBd for 48 MHz) and keeps the rate asked in termios: the chip runs at
// the clamped rate's nearest.
struct ch341_registers {
    int prescaler;
    int divisor;
};

std::int64_t ch341_clock_divisor(int ps, int fact)
{
    return std::int64_t{1} << (12 - 3 * ps - fact);
}

ch341_registers ch341_program(std::int64_t clock, std::int64_t rate)
{
    const std::int64_t lowest = (clock + 4096 * 256 - 1) / (4096 * 256);
    const std::int64_t highest = clock / 16;
    rate = rate < lowest ? lowest : rate > highest ? highest : rate;
    // The fastest base clock (factor 1) whose divisor stays below 512.
    int ps = 3;
    while (ps > 0 && rate <= clock / (ch341_clock_divisor(ps, 1) * 512)) --ps;
    int fact = 1;
    std::int64_t clk_div = ch341_clock_divisor(ps, fact);
    std::int64_t div = clock / (clk_div * rate);
    if (div < 9 || div > 255) {
        div /= 2;
        clk_div *= 2;
        fact = 0;
    }
    // The next divisor where it comes nearer, in sixteenths as the driver.
    const std::int64_t above = 16 * clock / (clk_div * div) - 16 * rate;
    if (above >= 16 * rate - 16 * clock / (clk_div * (div + 1))) ++div;
    if (fact == 1 && div % 2 == 0) {
        div /= 2;
        fact = 0;
    }
    return {fact << 2 | ps, static_cast<int>(0x100 - div)};
}

// The rate the CH340/CH341 makes from its registers: clock / (2^(12 - 3 ps
// - fact) * divisor), a divisor register of 0 counting 256.
std::int32_t ch341_chip_rate(std::int64_t clock, ch341_registers r)
{
    const std::int64_t div = r.divisor == 0 ? 256 : 0x100 - r.divisor;
    const std::int64_t clk_div = ch341_clock_divisor(r.prescaler & 3, r.prescaler >> 2 & 1);
    return static_cast<std::int32_t>(div_closest(clock, clk_div * div));
}

// The rates that pl2303 sends to the chip as they are (the chip knows them);
// any other goes as a divisor, except to the G types, which take any rate.
constexpr std::int64_t pl2303_direct[] = {75,     150,    300,    600,    1200,    1800,    2400,
                                          3600,   4800,   7200,   9600,   14400,   19200,   28800,
                                          38400,  57600,  115200, 230400, 460800,  614400,  921600,
                                          1228800, 2457600, 3000000, 6000000};

// pl2303's nearest rate of its table (the higher one when halfway).
std::int64_t pl2303_nearest_direct(std::int64_t rate)
{
    std::size_t i = 0;
    while (i < std::size(pl2303_direct) && pl2303_direct[i] <= rate) ++i;
    if (i == std::size(pl2303_direct)) return pl2303_direct[i - 1];
    if (i > 0 && pl2303_direct[i] - rate > rate - pl2303_direct[i - 1]) return pl2303_direct[i - 1];
    return pl2303_direct[i];
}

// The PL2303's divisor: clock * 32 / (mantissa * step^exponent), the
// mantissa below 512 in steps of 4 (H, HX, HXD) or below 2048 in steps of
// 2 (TA, TB), the exponent at most 7 or 15, as pl2303 works it out; returns
// the rate the chip makes from it.
std::int32_t pl2303_divisor_rate(std::int64_t clock, std::int64_t rate, bool alt)
{
    const std::int64_t baseline = clock * 32;
    const std::int64_t limit = alt ? 2048 : 512;
    const int shift = alt ? 1 : 2;
    const int top = alt ? 15 : 7;
    std::int64_t mantissa = baseline / rate;
    if (mantissa == 0) mantissa = 1;
    int exponent = 0;
    while (mantissa >= limit) {
        if (exponent == top) {
            mantissa = limit - 1;
            break;
        }
        mantissa >>= shift;
        ++exponent;
    }
    return static_cast<std::int32_t>(div_closest(baseline, mantissa << (shift * exponent)));
}

// pl2303 for a PL2303 of kind: the rate clipped to the type's highest, then
// sent as it is where the chip knows it, else as a divisor.
std::int32_t rate_pl2303(uart_kind kind, std::int64_t clock, std::int64_t rate)
{
    const std::int64_t highest = kind == uart_pl2303_h                                ? 1228800
                                 : kind == uart_pl2303_hx || kind == uart_pl2303_ta ? 6000000
                                                                                      : 12000000;
    if (rate > highest) rate = highest;
    if (kind == uart_pl2303_g || pl2303_nearest_direct(rate) == rate)
        return static_cast<std::int32_t>(rate);
    return pl2303_divisor_rate(clock, rate, kind == uart_pl2303_ta || kind == uart_pl2303_tb);
}

}  // namespace

int uart_close_pause_ms(uart_kind kind, std::int32_t rate)
{
    // WCH publishes no size for the CH340/CH341's transmit buffer; it takes
    // 32-byte bulk packets, and a drained port may still hold the one on
    // the line and one taken behind it: 64 bytes at 10 bits a byte (start,
    // 8 data, stop).
    constexpr std::int64_t ch341_buffer_bits = 64 * 10;
    if (kind != uart_ch341 || rate <= 0) return 100;
    const std::int64_t ms = (ch341_buffer_bits * 1000 + rate - 1) / rate;
    return static_cast<int>(ms < 100 ? 100 : ms > 2000 ? 2000 : ms);
}

std::int32_t uart_rate_made(uart_kind kind, std::int64_t clock_hz, std::int32_t rate)
{
    if (rate <= 0 || clock_hz <= 0) return kind == uart_unknown ? rate : 0;
    switch (kind) {
    case uart_16550: return rate_16550(clock_hz, rate);
    case uart_pl011: return rate_pl011(clock_hz, rate);
    case uart_ftdi_bm: return rate_ftdi_bm(clock_hz, rate);
    case uart_ftdi_h: return rate_ftdi_h(clock_hz, rate);
    case uart_ch341: return ch341_chip_rate(clock_hz, ch341_program(clock_hz, rate));
    case uart_pl2303_h:
    case uart_pl2303_hx:
    case uart_pl2303_hxd:
    case uart_pl2303_ta:
    case uart_pl2303_tb:
    case uart_pl2303_g: return rate_pl2303(kind, clock_hz, rate);
    case uart_unknown: break;
    }
    return rate;
}
