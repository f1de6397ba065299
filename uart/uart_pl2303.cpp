// Prolific's PL2303 as Linux's pl2303 drives it (drivers/usb/serial/pl2303.c):
// the type told by pl2303_detect_type, and the rate sent by
// pl2303_encode_baud_rate, from its table of rates or as a divisor.
#include "uart.h"

#include <iterator>

namespace {

// The rates that pl2303 sends to the chip as they are (the chip knows them);
// any other goes as a divisor, except to the G types, which take any rate.
constexpr std::int64_t direct_rates[] = {75,     150,    300,    600,    1200,    1800,    2400,
                                         3600,   4800,   7200,   9600,   14400,   19200,   28800,
                                         38400,  57600,  115200, 230400, 460800,  614400,  921600,
                                         1228800, 2457600, 3000000, 6000000};

// pl2303's nearest rate of its table (the higher one when halfway).
std::int64_t nearest_direct(std::int64_t rate)
{
    std::size_t i = 0;
    while (i < std::size(direct_rates) && direct_rates[i] <= rate) ++i;
    if (i == std::size(direct_rates)) return direct_rates[i - 1];
    if (i > 0 && direct_rates[i] - rate > rate - direct_rates[i - 1]) return direct_rates[i - 1];
    return direct_rates[i];
}

// The PL2303's divisor: clock * 32 / (mantissa * step^exponent), the
// mantissa below 512 in steps of 4 (H, HX, HXD) or below 2048 in steps of
// 2 (TA, TB), the exponent at most 7 or 15, as pl2303 works it out; returns
// the rate the chip makes from it.
std::int32_t divisor_rate(std::int64_t clock, std::int64_t rate, bool alt)
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
    return static_cast<std::int32_t>(uart_div_closest(baseline, mantissa << (shift * exponent)));
}

}  // namespace

// pl2303_detect_type: a device of class 2 or a control packet other than
// 64 bytes is the legacy H; then the USB release and the chip's release.
// The driver tells a TA or TB from a G of the same release by asking the
// chip, which the descriptor does not show: those are taken as the TA and
// TB, whose divisors are the coarser rule and whose highest rate is the
// lower.
uart_rules uart_pl2303_rules(const uart_facts &facts)
{
    constexpr std::int64_t clock = 12000000;
    if (facts.device_class == 2 || facts.max_packet_size0 != 64) return {uart_pl2303_h, clock};
    if (facts.bcd_usb == 0x101 || facts.bcd_usb == 0x110)
        return {facts.bcd_device == 0x400 ? uart_pl2303_hxd : uart_pl2303_hx, clock};
    if (facts.bcd_usb != 0x200) return {uart_unknown, 0};
    switch (facts.bcd_device) {
    case 0x300: return {uart_pl2303_ta, clock};
    case 0x500: return {uart_pl2303_tb, clock};
    case 0x100:
    case 0x105:
    case 0x305:
    case 0x400:
    case 0x405:
    case 0x505:
    case 0x600:
    case 0x605:
    case 0x700:
    case 0x705:
    case 0x905:
    case 0x1005: return {uart_pl2303_g, clock};
    default: return {uart_unknown, 0};
    }
}

// The rate clipped to the type's highest, then sent as it is where the
// chip knows it, else as a divisor.
std::int32_t uart_pl2303_rate(uart_kind kind, std::int64_t clock, std::int64_t rate)
{
    const std::int64_t highest = kind == uart_pl2303_h                                ? 1228800
                                 : kind == uart_pl2303_hx || kind == uart_pl2303_ta ? 6000000
                                                                                      : 12000000;
    if (rate > highest) rate = highest;
    if (kind == uart_pl2303_g || nearest_direct(rate) == rate) return static_cast<std::int32_t>(rate);
    return divisor_rate(clock, rate, kind == uart_pl2303_ta || kind == uart_pl2303_tb);
}
