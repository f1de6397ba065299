// What is known of the UARTs behind serial ports, chip family by family:
// which kind a port has, told from what the system reads of it (its
// driver, its USB device descriptor, the serial core's report, the kernel
// release); the rate each kind runs at once its driver has been asked for
// a rate; how long a closing port waits after the drain; and how far a
// rate may be from the one asked. A driver reports back the rate it was
// asked for even where its UART runs at another, so a rate is judged by
// these rules where the UART is known. The rules follow Linux's drivers,
// whose arithmetic decides the divisor a chip is given. Plain functions
// over plain values, the same on every platform: no system call.
#pragma once

#include <cstdint>

// The UARTs whose rules are known.
enum uart_kind {
    uart_unknown,  // rules not known: the driver's own report is trusted
    uart_16550,    // the 8250 driver's plain 16550: the clock / 16 divided by a whole number
    uart_pl011,    // ARM's PL011: the clock / 16 divided in 64ths, at most clock / 16
    uart_ftdi_bm,  // FTDI FT232B, FT232R, FT2232C/D, FT-X: 3 MHz divided in eighths
    uart_ftdi_h,   // FTDI FT232H, FT2232H, FT4232H and their HP kin: 12 MHz in eighths
    uart_ch341,    // WCH CH340/CH341: 48 MHz over a prescaler and a divisor of 2 to 256
    uart_pl2303_h,    // Prolific PL2303H: a table of rates, else a divisor of 4^n steps
    uart_pl2303_hx,   // PL2303HX: as the H, up to 6 MBd
    uart_pl2303_hxd,  // PL2303HXD: as the H, up to 12 MBd
    uart_pl2303_ta,   // PL2303TA: the table, else a divisor of 2^n steps, up to 6 MBd
    uart_pl2303_tb,   // PL2303TB: as the TA, up to 12 MBd
    uart_pl2303_g,    // PL2303G (HXN): any rate sent as it is, up to 12 MBd
    uart_cp210x,      // Silicon Labs CP210x: its driver reports the rate the part makes
    uart_ch9102,      // WCH CH9102, a CDC-ACM bridge: the driver knows no more than the line coding
    uart_ch343,       // WCH CH343, a CDC-ACM bridge like the CH9102
};

// A port's UART: its kind and the clock its driver divides, in Hz (for the
// 8250 and the PL011 16 times the base rate that they report; 48 MHz for
// the FTDI B/R family and the CH340/CH341, 120 MHz for the H series, 12 MHz
// for the PL2303), and whether its driver drops the RTS/CTS handshake that
// termios still shows (ch341 before Linux 6.14 writes no flow control).
// The driver's close: whether its drain waits until the chip itself has
// sent its last byte (the 8250 and PL011 drivers, ftdi_sio and cp210x ask
// the chip), and how many characters' time the tty layer waits at the
// close beyond the drain (pl2303's drain_delay). Linux's drivers only: on
// Windows no driver is known to wait for its chip.
struct uart_rules {
    uart_kind kind;
    std::int64_t clock_hz;
    bool drops_handshake = false;
    bool driver_waits = false;
    int drain_delay_chars = 0;
};

// The serial core's port types that the rules name, as TIOCGSERIAL reports
// them: Linux's ABI (include/uapi/linux/serial.h, which
// include/uapi/linux/serial_core.h extends), so fixed for good.
constexpr int uart_port_8250 = 1;
constexpr int uart_port_16450 = 2;
constexpr int uart_port_16550 = 3;
constexpr int uart_port_16550a = 4;
constexpr int uart_port_amba = 32;

// What a system has read of a port: zero, or an empty string, for what it
// could not read or that does not apply.
struct uart_facts {
    const char *driver = "";  // the driver that claims the port ("ftdi_sio", "serial8250")
    // The descriptor of the USB device that the port belongs to.
    std::uint16_t vendor_id = 0;   // idVendor
    std::uint16_t product_id = 0;  // idProduct
    std::uint16_t bcd_device = 0;  // bcdDevice: the chip's release
    std::uint16_t bcd_usb = 0;     // bcdUSB: 0x110 for USB 1.1, 0x200 for 2.0
    int device_class = 0;          // bDeviceClass
    int max_packet_size0 = 0;      // bMaxPacketSize0
    // What the serial core reports of a UART that it drives.
    int port_type = 0;
    std::int64_t baud_base = 0;
    const char *kernel_release = "";  // the running kernel's release ("6.14.0-rc1-amd64")
};

// Returns the UART that facts describe, with kind uart_unknown where no
// rule of this module fits (a pseudo-terminal, another driver).
uart_rules uart_rules_from(const uart_facts &facts);

// What uart_rate_made returns for a rate outside what the driver takes at
// all, where it keeps the rate that the port ran at before.
constexpr std::int32_t uart_keeps_rate = -1;

// Returns the rate in baud that a UART of kind, fed clock_hz, runs at once
// its driver has been asked for rate (> 0), worked out as the driver works
// out its divisor, overflow included, and as the chip reads that divisor;
// uart_keeps_rate where the driver keeps the port's rate, 0 where the chip
// cannot take the divisor. For uart_unknown, returns rate.
std::int32_t uart_rate_made(uart_kind kind, std::int64_t clock_hz, std::int32_t rate);

// Returns the UART that a USB adapter's vendor and product ids name, for a
// system that tells no more of it (Windows): the kind, for its buffer
// only, with no driver taken to wait for the chip; uart_unknown for ids of
// no known adapter.
uart_rules uart_rules_from_ids(std::uint16_t vendor_id, std::uint16_t product_id);

// Returns the most bytes that a chip of kind may still hold once its
// driver's queue is empty: its transmit buffer (FIFO), or where its maker
// publishes none, what it takes in from USB (README: the assumptions).
// 0 for uart_unknown.
int uart_buffer_bytes(uart_kind kind);

// Returns how long, in ms, a full transmit buffer of uart takes to leave at
// rate (> 0), 10 bits a byte (start, 8 data, stop): what a line that is
// merely slow may take without progress beyond the stall notice's wait.
int uart_buffer_ms(const uart_rules &uart, std::int32_t rate);

// Returns how long, in ms, a port closing after its drain waits for the
// last bytes to leave uart running at rate, once sent bytes were written
// to it in the run: nothing when none were; the usual 100 ms where the
// driver waits for the chip or nothing is known of it; otherwise the time
// the smaller of its buffer and sent takes at rate, less what the tty
// layer itself waits at the close, and at least 100 ms, however long.
int uart_close_pause_ms(const uart_rules &uart, std::int32_t rate, std::int64_t sent);

// True when a port running at actual serves a line at asked: within 2%,
// what the two ends of a cable can tolerate between them.
constexpr bool rate_close_enough(std::int64_t asked, std::int64_t actual)
{
    const std::int64_t off = actual - asked;
    return (off < 0 ? -off : off) * 50 <= asked;
}

// Each family's file gives the three functions above its part, and
// uart.cpp chooses between them.

// The 8250 core's plain 16550s and the PL011 (uart_8250.cpp): told by
// driver, port type and base rate; their rates for a clock of clock_hz.
uart_rules uart_8250_rules(const char *driver, int port_type, std::int64_t baud_base);
std::int32_t uart_16550_rate(std::int64_t clock_hz, std::int64_t rate);
std::int32_t uart_pl011_rate(std::int64_t clock_hz, std::int64_t rate);

// FTDI's adapters (uart_ftdi.cpp): told by bcdDevice; the rate of kind
// uart_ftdi_bm or uart_ftdi_h.
uart_rules uart_ftdi_rules(std::uint16_t bcd_device);
std::int32_t uart_ftdi_rate(uart_kind kind, std::int64_t clock_hz, std::int64_t rate);

// WCH's CH340/CH341 (uart_ch341.cpp): whether the kernel of release writes
// their flow control; their rate.
uart_rules uart_ch341_rules(const char *kernel_release);
std::int32_t uart_ch341_rate(std::int64_t clock_hz, std::int64_t rate);

// Prolific's PL2303 (uart_pl2303.cpp): told by the USB descriptor; the
// rate of each of its kinds.
uart_rules uart_pl2303_rules(const uart_facts &facts);
std::int32_t uart_pl2303_rate(uart_kind kind, std::int64_t clock_hz, std::int64_t rate);

// DIV_ROUND_CLOSEST of the kernel, for positive values.
constexpr std::int64_t uart_div_closest(std::int64_t x, std::int64_t d)
{
    return (x + d / 2) / d;
}
