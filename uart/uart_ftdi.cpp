// FTDI's USB adapters as Linux's ftdi_sio drives them
// (drivers/usb/serial/ftdi_sio.c): the chip told by ftdi_determine_type,
// the divisor worked out by get_ftdi_divisor, and the chip's reading of it.
#include "uart.h"

namespace {

// The divisor word that ftdi_sio sends for a divisor of eighths / 8: the
// whole part in bits 0-13, the eighths coded in bits 14-16. A whole part
// wider than 14 bits runs into the code bits, as it does in the driver.
// The divisors 1 and 1.5 go as the chip's special words 0 and 1.
std::uint32_t divisor_word(std::int64_t eighths)
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
std::int32_t chip_rate(std::uint32_t word, std::int64_t clock_8)
{
    static constexpr std::int64_t eighths_of[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    std::int64_t eighths = 8 * (word & 0x3fff) + eighths_of[(word >> 14) & 7];
    if (eighths == 0) eighths = 8;
    else if (eighths == 8) eighths = 12;
    else if (eighths < 16) return 0;
    return static_cast<std::int32_t>(uart_div_closest(clock_8, eighths));
}

// FT232B/R and kin, clock 48 MHz: eighths of clock / 16 rounded, up to
// clock / 16; above it the driver falls back to 9600 and reports that.
std::int32_t rate_bm(std::int64_t clock, std::int64_t rate)
{
    if (rate > clock / 16) rate = 9600;
    return chip_rate(divisor_word(uart_div_closest(clock, 2 * rate)), clock / 2);
}

// The H series, clock 120 MHz: from 1200 baud up to clock / 10 eighths of
// clock / 10 with bit 17 set (no division by 2.5); below 1200 the B/R rule
// on clock / 2.5; above clock / 10 the driver falls back to 9600.
std::int32_t rate_h(std::int64_t clock, std::int64_t rate)
{
    const std::int64_t slow_clock = clock * 2 / 5;
    if (rate > clock / 10) rate = 9600;
    const std::uint32_t word = rate >= 1200
                                   ? divisor_word(uart_div_closest(8 * clock, 10 * rate)) | 0x20000
                                   : divisor_word(uart_div_closest(slow_clock, 2 * rate));
    return chip_rate(word, word & 0x20000 ? clock * 8 / 10 : slow_clock / 2);
}

}  // namespace

// ftdi_determine_type tells the chip by bcdDevice alone. The SIO, the
// FT8U232AM (0x200) and releases it does not know keep their rules unknown.
uart_rules uart_ftdi_rules(std::uint16_t bcd_device)
{
    switch (bcd_device) {
    case 0x400:   // FT232B
    case 0x500:   // FT2232C
    case 0x600:   // FT232R
    case 0x1000:  // FT-X
        return {uart_ftdi_bm, 48000000};
    case 0x700:   // FT2232H
    case 0x800:   // FT4232H
    case 0x900:   // FT232H
    case 0x2800:  // FT2233HP
    case 0x2900:  // FT4233HP
    case 0x3000:  // FT2232HP
    case 0x3100:  // FT4232HP
    case 0x3200:  // FT233HP
    case 0x3300:  // FT232HP
    case 0x3600:  // FT4232HA
        return {uart_ftdi_h, 120000000};
    default: return {uart_unknown, 0};
    }
}

std::int32_t uart_ftdi_rate(uart_kind kind, std::int64_t clock, std::int64_t rate)
{
    return kind == uart_ftdi_h ? rate_h(clock, rate) : rate_bm(clock, rate);
}
