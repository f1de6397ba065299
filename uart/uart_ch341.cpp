// WCH's CH340/CH341 as Linux's ch341 drives it (drivers/usb/serial/ch341.c):
// the prescaler and divisor of ch341_get_divisor, the flow control that
// ch341_set_flow_control writes since Linux 6.14, and the chip's buffer.
#include "uart.h"

#include <charconv>
#include <cstring>

namespace {

// The two registers that ch341 writes for a rate: the prescaler (the
// exponent ps in bits 0-1, the factor of 2 in bit 2) and 256 less the
// divisor. The driver clamps the rate to what the chip can make (46 baud to
// 3 MBd for 48 MHz) and keeps the rate asked in termios: the chip runs at
// the clamped rate's nearest.
struct registers {
    int prescaler;
    int divisor;
};

std::int64_t clock_divisor(int ps, int fact)
{
    return std::int64_t{1} << (12 - 3 * ps - fact);
}

registers program(std::int64_t clock, std::int64_t rate)
{
    const std::int64_t lowest = (clock + 4096 * 256 - 1) / (4096 * 256);
    const std::int64_t highest = clock / 16;
    rate = rate < lowest ? lowest : rate > highest ? highest : rate;
    // The fastest base clock (factor 1) whose divisor stays below 512.
    int ps = 3;
    while (ps > 0 && rate <= clock / (clock_divisor(ps, 1) * 512)) --ps;
    int fact = 1;
    std::int64_t clk_div = clock_divisor(ps, fact);
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

// The rate the chip makes from its registers: clock / (2^(12 - 3 ps -
// fact) * divisor), a divisor register of 0 counting 256.
std::int32_t chip_rate(std::int64_t clock, registers r)
{
    const std::int64_t div = r.divisor == 0 ? 256 : 0x100 - r.divisor;
    const std::int64_t clk_div = clock_divisor(r.prescaler & 3, r.prescaler >> 2 & 1);
    return static_cast<std::int32_t>(uart_div_closest(clock, clk_div * div));
}

// True when a kernel of release ("6.13.12-amd64") has a ch341 that writes
// no flow control to the chip: one before 6.14. A release that does not
// begin with its major and minor numbers tells nothing: termios is trusted.
bool writes_no_flow_control(const char *release)
{
    const char *end = release + std::strlen(release);
    int major = 0, minor = 0;
    const std::from_chars_result m = std::from_chars(release, end, major);
    if (m.ec != std::errc{} || m.ptr == end || *m.ptr != '.') return false;
    if (std::from_chars(m.ptr + 1, end, minor).ec != std::errc{}) return false;
    return major < 6 || (major == 6 && minor < 14);
}

}  // namespace

uart_rules uart_ch341_rules(const char *kernel_release)
{
    return {uart_ch341, 48000000, writes_no_flow_control(kernel_release)};
}

std::int32_t uart_ch341_rate(std::int64_t clock, std::int64_t rate)
{
    return chip_rate(clock, program(clock, rate));
}
