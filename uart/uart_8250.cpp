// The UARTs that Linux's serial core drives with a known divisor: the 8250
// core's plain 16550 (drivers/tty/serial/8250/8250_port.c,
// serial8250_get_baud_rate and serial8250_get_divisor) and ARM's PL011
// (drivers/tty/serial/amba-pl011.c, pl011_set_termios). Both are fed a clock
// of 16 times the base rate that the serial core reports.
#include "uart.h"

#include <cstring>
#include <initializer_list>

namespace {

// The 8250 drivers that divide by a whole number as the 8250 core does:
// the legacy ports, PNP and PCI ports and plain device-tree ones. Other
// 8250 drivers (8250_dw, 8250_exar, 8250_lpss...) have divisors of their own.
bool plain_8250_driver(const char *driver)
{
    for (const char *name : {"serial8250", "serial", "of_serial"})
        if (std::strcmp(driver, name) == 0) return true;
    return false;
}

bool plain_16550_type(int type)
{
    return type == uart_port_8250 || type == uart_port_16450 || type == uart_port_16550 ||
           type == uart_port_16550a;
}

}  // namespace

uart_rules uart_8250_rules(const char *driver, int port_type, std::int64_t baud_base)
{
    if (baud_base <= 0) return {uart_unknown, 0};
    if (plain_8250_driver(driver) && plain_16550_type(port_type)) return {uart_16550, 16 * baud_base};
    if (std::strcmp(driver, "uart-pl011") == 0 && port_type == uart_port_amba)
        return {uart_pl011, 16 * baud_base};
    return {uart_unknown, 0};
}

// The 8250 core: clock / (16 * rate) rounded, for rates from clock / 16 /
// 65535 (in whole baud) up to 1% above clock / 16; outside those, the core
// keeps the old rate. The divisor goes into the chip's two 8-bit latches,
// which keep its low 16 bits: a rate a little above the bound (1 baud from
// 115200) overflows them.
std::int32_t uart_16550_rate(std::int64_t clock, std::int64_t rate)
{
    if (rate < clock / 16 / 65535 || rate > (clock + clock / 100) / 16) return uart_keeps_rate;
    const std::int64_t quot = uart_div_closest(clock, 16 * rate) & 0xffff;
    if (quot == 0) return 0;
    return static_cast<std::int32_t>(uart_div_closest(clock, 16 * quot));
}

// amba-pl011: clock * 4 / rate rounded, sixty-fourths of 16 clocks, whose
// whole part goes into a 16-bit register. The serial core takes rates up
// to clock / 16 only, and keeps the old rate above.
std::int32_t uart_pl011_rate(std::int64_t clock, std::int64_t rate)
{
    if (rate > clock / 16) return uart_keeps_rate;
    std::int64_t quot = uart_div_closest(clock * 4, rate);
    quot = ((quot >> 6) & 0xffff) << 6 | (quot & 63);
    if (quot < 64) return 0;
    return static_cast<std::int32_t>(uart_div_closest(clock * 4, quot));
}
