// The tables of the uart module, each row's expected value taken from the
// driver source or the data sheet that it cites: which UART a port has,
// told from what the system reads of it; the rate each UART makes; the
// pause after the drain. No port is needed.
#include <gtest/gtest.h>

#include <sstream>

#include "uart.h"

namespace {

// What a system reads of a port of each kind of driver.
uart_facts ftdi(std::uint16_t bcd_device)
{
    return {.driver = "ftdi_sio", .bcd_device = bcd_device};
}

uart_facts pl2303(int device_class, int max_packet_size0, std::uint16_t bcd_usb, std::uint16_t bcd_device)
{
    return {.driver = "pl2303", .bcd_device = bcd_device, .bcd_usb = bcd_usb,
            .device_class = device_class, .max_packet_size0 = max_packet_size0};
}

uart_facts ch341(const char *kernel_release)
{
    return {.driver = "ch341-uart", .kernel_release = kernel_release};
}

uart_facts serial_core(const char *driver, int port_type, std::int64_t baud_base)
{
    return {.driver = driver, .port_type = port_type, .baud_base = baud_base};
}

}  // namespace

// The values that the drivers tell a chip by, each as the system reads
// them, and the kind, clock and handshake that the driver gives it.
TEST(Uart, KindsFromWhatTheSystemReads)
{
    const struct {
        uart_facts facts;
        uart_kind kind;
        std::int64_t clock;
        bool drops_handshake;
    } cases[] = {
        // ftdi_sio.c, ftdi_determine_type by bcdDevice: FT232B, FT2232C,
        // FT232R and FT-X divide 48 MHz (ftdi_232bm_baud_to_divisor); FT2232H,
        // FT4232H, FT232H, FT2233HP, FT4233HP, FT2232HP, FT4232HP, FT233HP,
        // FT232HP and FT4232HA 120 MHz (ftdi_2232h_baud_to_divisor).
        {ftdi(0x400), uart_ftdi_bm, 48000000, false},   {ftdi(0x500), uart_ftdi_bm, 48000000, false},
        {ftdi(0x600), uart_ftdi_bm, 48000000, false},   {ftdi(0x1000), uart_ftdi_bm, 48000000, false},
        {ftdi(0x700), uart_ftdi_h, 120000000, false},   {ftdi(0x800), uart_ftdi_h, 120000000, false},
        {ftdi(0x900), uart_ftdi_h, 120000000, false},   {ftdi(0x2800), uart_ftdi_h, 120000000, false},
        {ftdi(0x2900), uart_ftdi_h, 120000000, false},  {ftdi(0x3000), uart_ftdi_h, 120000000, false},
        {ftdi(0x3100), uart_ftdi_h, 120000000, false},  {ftdi(0x3200), uart_ftdi_h, 120000000, false},
        {ftdi(0x3300), uart_ftdi_h, 120000000, false},  {ftdi(0x3600), uart_ftdi_h, 120000000, false},
        // The FT8U232AM (0x200) and the SIO (below) have divisors of their
        // own; a release the driver does not know, it refuses.
        {ftdi(0x200), uart_unknown, 0, false},          {ftdi(0x100), uart_unknown, 0, false},
        {ftdi(0x1100), uart_unknown, 0, false},
        // pl2303.c, pl2303_detect_type; every type divides 12 MHz
        // (pl2303_encode_baud_rate_divisor). Class 2, or a control packet
        // other than 64 bytes: the legacy H.
        {pl2303(2, 64, 0x110, 0x300), uart_pl2303_h, 12000000, false},
        {pl2303(0, 8, 0x110, 0x300), uart_pl2303_h, 12000000, false},
        // USB 1.1 (and 1.0.1, taken for 1.1): the HXD at 0x400, else the HX.
        {pl2303(0, 64, 0x110, 0x300), uart_pl2303_hx, 12000000, false},
        {pl2303(0, 64, 0x101, 0x300), uart_pl2303_hx, 12000000, false},
        {pl2303(0, 64, 0x110, 0x400), uart_pl2303_hxd, 12000000, false},
        // USB 2.0: the TA at 0x300 and the TB at 0x500 (or a G, which only
        // the chip's answer tells), the G (HXN) at its releases; others and
        // USB 3 it refuses.
        {pl2303(0, 64, 0x200, 0x300), uart_pl2303_ta, 12000000, false},
        {pl2303(0, 64, 0x200, 0x500), uart_pl2303_tb, 12000000, false},
        {pl2303(0, 64, 0x200, 0x100), uart_pl2303_g, 12000000, false},  // GC
        {pl2303(0, 64, 0x200, 0x105), uart_pl2303_g, 12000000, false},
        {pl2303(0, 64, 0x200, 0x305), uart_pl2303_g, 12000000, false},
        {pl2303(0, 64, 0x200, 0x400), uart_pl2303_g, 12000000, false},  // GL
        {pl2303(0, 64, 0x200, 0x405), uart_pl2303_g, 12000000, false},
        {pl2303(0, 64, 0x200, 0x505), uart_pl2303_g, 12000000, false},
        {pl2303(0, 64, 0x200, 0x600), uart_pl2303_g, 12000000, false},  // GS
        {pl2303(0, 64, 0x200, 0x605), uart_pl2303_g, 12000000, false},
        {pl2303(0, 64, 0x200, 0x700), uart_pl2303_g, 12000000, false},  // GR
        {pl2303(0, 64, 0x200, 0x705), uart_pl2303_g, 12000000, false},
        {pl2303(0, 64, 0x200, 0x905), uart_pl2303_g, 12000000, false},  // GT-2AB
        {pl2303(0, 64, 0x200, 0x1005), uart_pl2303_g, 12000000, false},  // GC-Q20
        {pl2303(0, 64, 0x200, 0x200), uart_unknown, 0, false},
        {pl2303(0, 64, 0x300, 0x300), uart_unknown, 0, false},
        // ch341.c: 48 MHz (CH341_CLKRATE); ch341_set_flow_control, which
        // writes RTS/CTS to the chip, came with Linux 6.14. A release that
        // tells nothing leaves termios trusted.
        {ch341("6.13.12-amd64"), uart_ch341, 48000000, true},
        {ch341("6.14"), uart_ch341, 48000000, false},
        {ch341("6.14.0-rc1"), uart_ch341, 48000000, false},
        {ch341("7.2.0"), uart_ch341, 48000000, false},
        {ch341("10.0"), uart_ch341, 48000000, false},
        {ch341("5.10"), uart_ch341, 48000000, true},
        {ch341(""), uart_ch341, 48000000, false},
        {ch341("6"), uart_ch341, 48000000, false},
        {ch341("v6.1"), uart_ch341, 48000000, false},
        // The serial core reports baud_base, the clock / 16 (serial_core.c,
        // uart_get_info). The 8250 core's plain drivers (8250_core.c,
        // 8250_pnp.c and 8250_pci.c register as "serial8250" or "serial",
        // 8250_of.c as "of_serial") and types (PORT_8250 1, PORT_16450 2,
        // PORT_16550 3, PORT_16550A 4 of include/uapi/linux/serial.h).
        {serial_core("serial8250", 4, 115200), uart_16550, 1843200, false},
        {serial_core("serial8250", 1, 115200), uart_16550, 1843200, false},
        {serial_core("serial", 2, 115200), uart_16550, 1843200, false},
        {serial_core("of_serial", 3, 1500000), uart_16550, 24000000, false},
        // An empty slot (PORT_UNKNOWN 0), the 16650 (6), whose driver
        // divides otherwise, 8250_dw, and no base rate: not known.
        {serial_core("serial8250", 0, 115200), uart_unknown, 0, false},
        {serial_core("serial8250", 6, 115200), uart_unknown, 0, false},
        {serial_core("dw-apb-uart", 4, 115200), uart_unknown, 0, false},
        {serial_core("serial8250", 4, 0), uart_unknown, 0, false},
        // amba-pl011.c: PORT_AMBA 32 (include/uapi/linux/serial_core.h);
        // the Pi's 48 MHz.
        {serial_core("uart-pl011", 32, 3000000), uart_pl011, 48000000, false},
        {serial_core("uart-pl011", 4, 3000000), uart_unknown, 0, false},
        {serial_core("serial8250", 32, 3000000), uart_unknown, 0, false},
        // cp210x reports the rate its part makes, and is trusted; a
        // pseudo-terminal has no driver behind it.
        {serial_core("cp210x", 0, 0), uart_cp210x, 0, false},
        {{}, uart_unknown, 0, false},
        // cdc-acm: a bridge to a UART is told by its ids alone (WCH's
        // CH9102 1a86:55d4 and CH343 1a86:55d3); a board's own USB is none.
        {{.driver = "cdc_acm", .vendor_id = 0x1a86, .product_id = 0x55d4}, uart_ch9102, 0, false},
        {{.driver = "cdc_acm", .vendor_id = 0x1a86, .product_id = 0x55d3}, uart_ch343, 0, false},
        {{.driver = "cdc_acm", .vendor_id = 0x2e8a, .product_id = 0x000a}, uart_unknown, 0, false},
    };
    for (const auto &c : cases) {
        const uart_rules rules = uart_rules_from(c.facts);
        std::ostringstream row;
        row << c.facts.driver << std::hex << " bcdDevice " << c.facts.bcd_device << " bcdUSB "
            << c.facts.bcd_usb << std::dec << " class " << c.facts.device_class << " packet "
            << c.facts.max_packet_size0 << " type " << c.facts.port_type << " release "
            << c.facts.kernel_release;
        EXPECT_EQ(rules.kind, c.kind) << row.str();
        EXPECT_EQ(rules.clock_hz, c.clock) << row.str();
        EXPECT_EQ(rules.drops_handshake, c.drops_handshake) << row.str();
    }
}

// The rate each UART runs at when its driver is asked for a rate, worked
// out as the drivers do it, and whether the far end of the line can follow
// it.
TEST(Uart, RatesEachUartMakes)
{
    const struct {
        uart_kind kind;
        std::int64_t clock;
        std::int32_t asked, made;
        bool close_enough;
    } cases[] = {
        // A 16550 divides clock / 16 by a whole number, up to 1% above it
        // (8250_port.c: serial8250_get_baud_rate, serial8250_get_divisor).
        {uart_16550, 1843200, 115200, 115200, true},
        {uart_16550, 1843200, 57600, 57600, true},
        {uart_16550, 1843200, 110, 110, true},
        {uart_16550, 1843200, 50, 50, true},
        {uart_16550, 1843200, 116000, 115200, true},
        {uart_16550, 1843200, 116352, 115200, true},
        {uart_16550, 1843200, 116353, uart_keeps_rate, false},
        {uart_16550, 1843200, 76800, 57600, false},
        {uart_16550, 1843200, 100000, 115200, false},
        {uart_16550, 1843200, 56000, 57600, false},
        {uart_16550, 1843200, 230400, uart_keeps_rate, false},
        // The divisor of 1 baud, 115200, overflows the 16-bit latches.
        {uart_16550, 1843200, 1, 2, false},
        {uart_16550, 24000000, 10, uart_keeps_rate, false},
        {uart_16550, 24000000, 250000, 250000, true},
        {uart_16550, 24000000, 115200, 115385, true},
        {uart_16550, 24000000, 921600, 750000, false},
        // A PL011 divides in 64ths, up to clock / 16: QEMU's 24 MHz, the Pi's 48 MHz
        // (amba-pl011.c: pl011_set_termios).
        {uart_pl011, 24000000, 76800, 76800, true},
        {uart_pl011, 24000000, 230400, 230216, true},
        {uart_pl011, 24000000, 460800, 461538, true},
        {uart_pl011, 24000000, 921600, 923077, true},
        {uart_pl011, 24000000, 1000000, 1000000, true},
        {uart_pl011, 24000000, 1152000, 1156627, true},
        {uart_pl011, 24000000, 1500000, 1500000, true},
        {uart_pl011, 24000000, 2000000, uart_keeps_rate, false},
        {uart_pl011, 24000000, 50, 50, true},
        {uart_pl011, 48000000, 256000, 256000, true},
        {uart_pl011, 48000000, 460800, 460432, true},
        {uart_pl011, 48000000, 576000, 576577, true},
        {uart_pl011, 48000000, 2000000, 2000000, true},
        {uart_pl011, 48000000, 3000000, 3000000, true},
        {uart_pl011, 48000000, 4000000, uart_keeps_rate, false},
        // FT232B/R: eighths of 3 MHz; below 184 baud the driver's divisor
        // overflows into the fraction bits; between the divisors 1 and 2
        // only 1.5 (2 MBd) works; above 3 MBd the driver falls back to 9600
        // (ftdi_sio.c: get_ftdi_divisor, ftdi_232bm_baud_base_to_divisor).
        {uart_ftdi_bm, 48000000, 50, 277, false},
        {uart_ftdi_bm, 48000000, 150, 830, false},
        {uart_ftdi_bm, 48000000, 183, 315789, false},
        {uart_ftdi_bm, 48000000, 184, 184, true},
        {uart_ftdi_bm, 48000000, 300, 300, true},
        {uart_ftdi_bm, 48000000, 76800, 76677, true},
        {uart_ftdi_bm, 48000000, 115200, 115385, true},
        {uart_ftdi_bm, 48000000, 921600, 923077, true},
        {uart_ftdi_bm, 48000000, 1500000, 1500000, true},
        {uart_ftdi_bm, 48000000, 1600000, 0, false},
        {uart_ftdi_bm, 48000000, 2000000, 2000000, true},
        {uart_ftdi_bm, 48000000, 2400000, 0, false},
        {uart_ftdi_bm, 48000000, 2670000, 0, false},
        {uart_ftdi_bm, 48000000, 3000000, 3000000, true},
        {uart_ftdi_bm, 48000000, 3500000, 9600, false},
        // The H series: eighths of 12 MHz from 1200 baud up to 12 MBd, the
        // B/R rule below 1200 (ftdi_sio.c: ftdi_2232h_baud_base_to_divisor).
        {uart_ftdi_h, 120000000, 50, 277, false},
        {uart_ftdi_h, 120000000, 300, 300, true},
        {uart_ftdi_h, 120000000, 1200, 1200, true},
        {uart_ftdi_h, 120000000, 921600, 923077, true},
        {uart_ftdi_h, 120000000, 3000000, 3000000, true},
        {uart_ftdi_h, 120000000, 8000000, 8000000, true},
        {uart_ftdi_h, 120000000, 10000000, 0, false},
        {uart_ftdi_h, 120000000, 12000000, 12000000, true},
        {uart_ftdi_h, 120000000, 12500000, 9600, false},
        // CH340/CH341: ch341 clamps to 46 baud..3 MBd, programs the chip with
        // the clamped rate and keeps the rate asked in termios (ch341.c:
        // ch341_get_divisor, CH341_MIN_BPS, CH341_MAX_BPS).
        {uart_ch341, 48000000, 40, 46, false},
        {uart_ch341, 48000000, 45, 46, false},
        {uart_ch341, 48000000, 46, 46, true},
        {uart_ch341, 48000000, 110, 110, true},
        {uart_ch341, 48000000, 9600, 9615, true},
        {uart_ch341, 48000000, 23438, 23438, true},
        {uart_ch341, 48000000, 115200, 115385, true},
        {uart_ch341, 48000000, 921600, 923077, true},
        {uart_ch341, 48000000, 2000000, 2000000, true},
        {uart_ch341, 48000000, 2500000, 2000000, false},
        {uart_ch341, 48000000, 3000000, 3000000, true},
        {uart_ch341, 48000000, 3100000, 3000000, false},
        {uart_ch341, 48000000, 4000000, 3000000, false},
        {uart_ch341, 48000000, 12000000, 3000000, false},
        // PL2303: the driver's table of rates sent as they are, other rates
        // as 12 MHz * 32 over a mantissa and 4^n (H, HX, HXD) or 2^n (TA,
        // TB); each type's highest rate; the G takes any rate (pl2303.c:
        // pl2303_encode_baud_rate, pl2303_type_data).
        {uart_pl2303_ta, 12000000, 115200, 115200, true},
        {uart_pl2303_ta, 12000000, 250001, 250163, true},
        {uart_pl2303_ta, 12000000, 50, 50, true},
        {uart_pl2303_ta, 12000000, 123457, 123473, true},
        {uart_pl2303_ta, 12000000, 3500000, 3522936, true},
        {uart_pl2303_ta, 12000000, 7000000, 6000000, false},
        {uart_pl2303_tb, 12000000, 7000000, 7111111, true},
        {uart_pl2303_tb, 12000000, 12000000, 12000000, true},
        {uart_pl2303_hx, 12000000, 123457, 123711, true},
        {uart_pl2303_hx, 12000000, 7000000, 6000000, false},
        {uart_pl2303_hxd, 12000000, 13000000, 12000000, false},
        {uart_pl2303_g, 12000000, 13000000, 12000000, false},
        {uart_pl2303_hx, 12000000, 10, 46, false},
        {uart_pl2303_hxd, 12000000, 12000000, 12000000, true},
        {uart_pl2303_h, 12000000, 20, 46, false},
        {uart_pl2303_h, 12000000, 2000000, 1228800, false},
        {uart_pl2303_g, 12000000, 250001, 250001, true},
        // Any other UART (8250_dw, 8250_exar, LPSS, a pseudo-terminal) is
        // trusted to report the rate it makes.
        {uart_unknown, 0, 76800, 76800, true},
        {uart_unknown, 1843200, 12345, 12345, true},
    };
    for (const auto &c : cases) {
        const std::int32_t made = uart_rate_made(c.kind, c.clock, c.asked);
        EXPECT_EQ(made, c.made) << c.kind << " " << c.clock << " " << c.asked;
        EXPECT_EQ(rate_close_enough(c.asked, made), c.close_enough) << c.kind << " " << c.asked;
    }
}

// What a closing port waits after its drain for the bytes its chip may
// still hold, at 10 bits a byte: nothing after no send; 100 ms where the
// driver waits for the chip itself (the serial core's wait_until_sent,
// ftdi_sio's and cp210x's tx_empty); elsewhere the time of the smaller of
// the chip's buffer and the bytes sent, less the tty layer's own wait for
// pl2303's drain_delay of 256 characters (tty_port_drain_delay: their time
// above 1200 baud, a flat 2 s at or below), at least 100 ms, never cut. The
// buffers: the CH340's two 32-byte packets (ch341.c's bulk endpoint), the
// PL2303's 256 bytes, the FT-X's 512 and the 16550's 16 (data sheets), the
// CH9102's two 64-byte packets.
TEST(Uart, CloseWaitsForTheChipsBuffer)
{
    const uart_facts cdc_ch9102 = {.driver = "cdc_acm", .vendor_id = 0x1a86, .product_id = 0x55d4};
    const uart_facts cdc_board = {.driver = "cdc_acm", .vendor_id = 0x2e8a, .product_id = 0x000a};
    const struct {
        const char *what;
        uart_rules uart;
        std::int32_t rate;
        std::int64_t sent;
        int pause_ms;
    } cases[] = {
        {"CH340, nothing sent", uart_rules_from(ch341("6.1.0")), 110, 0, 0},
        {"CH340, 64 of 3000 bytes at 110", uart_rules_from(ch341("6.1.0")), 110, 3000, 5819},
        {"CH340, 32 bytes at 150", uart_rules_from(ch341("6.1.0")), 150, 32, 2134},
        {"CH340 at 46", uart_rules_from(ch341("7.2.0")), 46, 100000, 13914},
        {"CH340 at 115200", uart_rules_from(ch341("6.1.0")), 115200, 3000, 100},
        {"PL2303 at 600", uart_rules_from(pl2303(0, 64, 0x200, 0x300)), 600, 600, 2267},
        {"PL2303 at 300", uart_rules_from(pl2303(0, 64, 0x200, 0x300)), 300, 256, 6534},
        {"PL2303 at 2400", uart_rules_from(pl2303(0, 64, 0x200, 0x300)), 2400, 256, 100},
        {"FT232R on Linux", uart_rules_from(ftdi(0x600)), 300, 1000, 100},
        {"CP2102 on Linux", uart_rules_from({.driver = "cp210x"}), 300, 1000, 100},
        {"16550 on Linux", uart_rules_from(serial_core("serial8250", 4, 115200)), 50, 100, 100},
        {"CH9102 bridge", uart_rules_from(cdc_ch9102), 1200, 1000, 1067},
        {"a board's own CDC-ACM", uart_rules_from(cdc_board), 1200, 1000, 100},
        {"a pseudo-terminal", uart_rules_from({.driver = ""}), 9600, 10, 100},
        {"FT232R on Windows", uart_rules_from_ids(0x0403, 0x6001), 9600, 5000, 534},
        {"CH340 on Windows", uart_rules_from_ids(0x1a86, 0x7523), 1200, 64, 534},
        {"CP2102 on Windows", uart_rules_from_ids(0x10c4, 0xea60), 9600, 640, 667},
        {"no known adapter on Windows", {uart_16550, 0}, 300, 100, 534},
        {"no known adapter at 9600", {uart_16550, 0}, 9600, 100, 100},
        // The figures of the Windows build's close under Wine: a CH340's 64
        // bytes at 600 baud and an FT232R's 512 at 4800 take 1067 ms, a
        // 16550's 16 take 267 ms at 600 and the least, 100 ms, at 4800.
        {"CH340 on Windows at 600", uart_rules_from_ids(0x1a86, 0x7523), 600, 200, 1067},
        {"FT232R on Windows at 4800", uart_rules_from_ids(0x0403, 0x6001), 4800, 600, 1067},
        {"no known adapter at 600", {uart_16550, 0}, 600, 200, 267},
        {"no known adapter at 4800", {uart_16550, 0}, 4800, 600, 100},
    };
    for (const auto &c : cases)
        EXPECT_EQ(uart_close_pause_ms(c.uart, c.rate, c.sent), c.pause_ms) << c.what;
    // A stall is told only after the chip's whole buffer could have left:
    // one CH340 packet pair at 46 baud takes 13.9 s.
    EXPECT_EQ(uart_buffer_ms(uart_rules_from(ch341("6.1.0")), 46), 13914);
    EXPECT_EQ(uart_buffer_ms(uart_rules_from({.driver = ""}), 46), 0);
}

// The rates that pl2303 sends to an H, HX or HXD as they are (pl2303.c,
// baud_sup): each is made exactly, where a divisor of 4^n steps would miss
// most of them.
TEST(Uart, Pl2303SendsItsTableAsItIs)
{
    for (std::int32_t rate : {75, 150, 300, 600, 1200, 1800, 2400, 3600, 4800, 7200, 9600, 14400,
                              19200, 28800, 38400, 57600, 115200, 230400, 460800, 614400, 921600,
                              1228800, 2457600, 3000000, 6000000})
        EXPECT_EQ(uart_rate_made(uart_pl2303_hx, 12000000, rate), rate);
}
