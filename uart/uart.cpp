// Which family's rules answer: by the driver that claims the port, and by
// the kind once it is known.
#include "uart.h"

#include <cstring>
#include <initializer_list>

namespace {

// Linux's drivers whose drain waits until the chip reports its transmitter
// empty: the serial core's wait_until_sent asks the UART (8250, PL011),
// usb-serial's asks ftdi_sio and cp210x through their tx_empty.
bool waits_for_chip(const char *driver)
{
    for (const char *name : {"serial8250", "serial", "of_serial", "uart-pl011", "ftdi_sio", "cp210x"})
        if (std::strcmp(driver, name) == 0) return true;
    return false;
}

uart_rules family_rules(const uart_facts &facts)
{
    if (std::strcmp(facts.driver, "ftdi_sio") == 0) return uart_ftdi_rules(facts.bcd_device);
    if (std::strcmp(facts.driver, "pl2303") == 0) {
        // pl2303 sets its port's drain_delay to 256 characters.
        uart_rules pl2303 = uart_pl2303_rules(facts);
        pl2303.drain_delay_chars = 256;
        return pl2303;
    }
    if (std::strcmp(facts.driver, "ch341-uart") == 0) return uart_ch341_rules(facts.kernel_release);
    // cp210x works out the rate its part makes and reports that one: its
    // report is trusted, as are those of the drivers not named here.
    if (std::strcmp(facts.driver, "cp210x") == 0) return {uart_cp210x, 0};
    // cdc-acm drives a board's own USB as it drives a bridge to a UART,
    // which only its ids tell.
    if (std::strcmp(facts.driver, "cdc_acm") == 0)
        return uart_rules_from_ids(facts.vendor_id, facts.product_id);
    return uart_8250_rules(facts.driver, facts.port_type, facts.baud_base);
}

// What the tty layer waits at a port's close for drain_delay characters
// (tty_port_drain_delay, drivers/tty/tty_port.c): their time above 1200
// baud, at least 100 ms; a flat 2 s at 1200 baud and below.
std::int64_t tty_drain_delay_ms(int chars, std::int64_t rate)
{
    if (chars <= 0) return 0;
    if (rate <= 1200) return 2000;
    const std::int64_t ms = std::int64_t{10} * chars * 1000 / rate;
    return ms < 100 ? 100 : ms;
}

constexpr int usual_pause_ms = 100;

}  // namespace

uart_rules uart_rules_from(const uart_facts &facts)
{
    uart_rules rules = family_rules(facts);
    rules.driver_waits = waits_for_chip(facts.driver);
    return rules;
}

std::int32_t uart_rate_made(uart_kind kind, std::int64_t clock_hz, std::int32_t rate)
{
    // The drivers of these report the rate their part runs at, or know no
    // more than the rate they pass on: trusted, as an unknown UART is.
    const bool trusted = kind == uart_unknown || kind == uart_cp210x || kind == uart_ch9102 ||
                         kind == uart_ch343;
    if (trusted) return rate;
    if (rate <= 0 || clock_hz <= 0) return 0;
    switch (kind) {
    case uart_16550: return uart_16550_rate(clock_hz, rate);
    case uart_pl011: return uart_pl011_rate(clock_hz, rate);
    case uart_ftdi_bm:
    case uart_ftdi_h: return uart_ftdi_rate(kind, clock_hz, rate);
    case uart_ch341: return uart_ch341_rate(clock_hz, rate);
    case uart_pl2303_h:
    case uart_pl2303_hx:
    case uart_pl2303_hxd:
    case uart_pl2303_ta:
    case uart_pl2303_tb:
    case uart_pl2303_g: return uart_pl2303_rate(kind, clock_hz, rate);
    case uart_unknown:
    case uart_cp210x:
    case uart_ch9102:
    case uart_ch343: break;
    }
    return rate;
}

int uart_buffer_ms(const uart_rules &uart, std::int32_t rate)
{
    if (rate <= 0) return 0;
    const std::int64_t bits = std::int64_t{10} * uart_buffer_bytes(uart.kind);
    return static_cast<int>((bits * 1000 + rate - 1) / rate);
}

int uart_close_pause_ms(const uart_rules &uart, std::int32_t rate, std::int64_t sent)
{
    if (sent <= 0) return 0;
    if (uart.driver_waits || rate <= 0) return usual_pause_ms;
    const std::int64_t buffer = uart_buffer_bytes(uart.kind);
    const std::int64_t held = sent < buffer ? sent : buffer;
    const std::int64_t ms =
        (10 * held * 1000 + rate - 1) / rate - tty_drain_delay_ms(uart.drain_delay_chars, rate);
    return static_cast<int>(ms < usual_pause_ms ? usual_pause_ms : ms);
}
