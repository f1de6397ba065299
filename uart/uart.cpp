// Which family's rules answer: by the driver that claims the port, and by
// the kind once it is known.
#include "uart.h"

#include <cstring>

uart_rules uart_rules_from(const uart_facts &facts)
{
    if (std::strcmp(facts.driver, "ftdi_sio") == 0) return uart_ftdi_rules(facts.bcd_device);
    if (std::strcmp(facts.driver, "pl2303") == 0) return uart_pl2303_rules(facts);
    if (std::strcmp(facts.driver, "ch341-uart") == 0) return uart_ch341_rules(facts.kernel_release);
    // cp210x works out the rate its part makes and reports that one: its
    // report is trusted, as are those of the drivers not named here.
    return uart_8250_rules(facts.driver, facts.port_type, facts.baud_base);
}

std::int32_t uart_rate_made(uart_kind kind, std::int64_t clock_hz, std::int32_t rate)
{
    if (rate <= 0 || clock_hz <= 0) return kind == uart_unknown ? rate : 0;
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
    case uart_unknown: break;
    }
    return rate;
}

int uart_close_pause_ms(uart_kind kind, std::int32_t rate)
{
    // Every port pauses 100 ms after its drain; the CH340/CH341, whose
    // buffer ch341's drain cannot see into, may need longer.
    if (kind == uart_ch341 && rate > 0) return uart_ch341_close_pause_ms(rate);
    return 100;
}
