// What each chip may still hold once its driver's queue is empty, and the
// USB adapters known by their ids alone, as a system that tells no more
// (Windows) knows them.
#include "uart.h"

int uart_buffer_bytes(uart_kind kind)
{
    switch (kind) {
    // The 16550A's transmit FIFO (TI's PC16550D data sheet).
    case uart_16550: return 16;
    // The PL011's transmit FIFO, 32 deep from r1p5 (ARM's PL011 TRM).
    case uart_pl011: return 32;
    // The largest of the family's transmit buffers: the FT232R's 256, the
    // FT-X series' 512 (FTDI's data sheets).
    case uart_ftdi_bm: return 512;
    // The FT2232H's 4 KiB a channel (the FT232H has 1 KiB, the FT4232H 2).
    case uart_ftdi_h: return 4096;
    // WCH publishes none: the CH340/CH341 takes 32-byte bulk packets, and a
    // drained port may still hold the one on the line and one behind it.
    case uart_ch341: return 64;
    // The PL2303's 256-byte downstream buffer, which pl2303's drain_delay
    // matches.
    case uart_pl2303_h:
    case uart_pl2303_hx:
    case uart_pl2303_hxd:
    case uart_pl2303_ta:
    case uart_pl2303_tb:
    case uart_pl2303_g: return 256;
    // The CP2102's 640-byte transmit buffer (Silicon Labs' data sheet), the
    // largest of the family.
    case uart_cp210x: return 640;
    // WCH publishes none: two of the bridge's bulk packets, 64 bytes at
    // full speed (CH9102) and 512 at high speed (CH343).
    case uart_ch9102: return 128;
    case uart_ch343: return 1024;
    case uart_unknown: break;
    }
    return 0;
}

uart_rules uart_rules_from_ids(std::uint16_t vendor_id, std::uint16_t product_id)
{
    struct known_adapter {
        std::uint16_t vendor, product;
        uart_kind kind;
    };
    static constexpr known_adapter adapters[] = {
        {0x0403, 0x6001, uart_ftdi_bm},  // FT232R, FT232BM
        {0x0403, 0x6015, uart_ftdi_bm},  // FT-X series
        {0x0403, 0x6010, uart_ftdi_h},   // FT2232C/D/H
        {0x0403, 0x6011, uart_ftdi_h},   // FT4232H
        {0x0403, 0x6014, uart_ftdi_h},   // FT232H
        {0x1a86, 0x7523, uart_ch341},    // CH340
        {0x1a86, 0x5523, uart_ch341},    // CH341
        {0x1a86, 0x55d4, uart_ch9102},   // CH9102
        {0x1a86, 0x55d3, uart_ch343},    // CH343
        {0x067b, 0x2303, uart_pl2303_hx},  // PL2303 H, HX, HXD, TA, TB
        {0x067b, 0x23a3, uart_pl2303_g},   // PL2303G family
        {0x067b, 0x23b3, uart_pl2303_g},
        {0x067b, 0x23c3, uart_pl2303_g},
        {0x067b, 0x23d3, uart_pl2303_g},
        {0x067b, 0x23e3, uart_pl2303_g},
        {0x067b, 0x23f3, uart_pl2303_g},
        {0x10c4, 0xea60, uart_cp210x},   // CP2102, CP2104, CP2102N
        {0x10c4, 0xea70, uart_cp210x},   // CP2105
        {0x10c4, 0xea71, uart_cp210x},   // CP2108
    };
    for (const known_adapter &a : adapters)
        if (a.vendor == vendor_id && a.product == product_id) return {a.kind, 0};
    return {uart_unknown, 0};
}
