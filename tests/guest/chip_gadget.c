/* Plays a USB serial chip to the guest kernel's own driver: a configfs
 * gadget with the chip's ids and one FunctionFS function, on dummy_hcd's
 * virtual bus, so that ch341, cp210x or pl2303 binds to it and makes
 * /dev/ttyUSB0. FUNCTIONFS_ALL_CTRL_RECIP brings the device-level vendor
 * requests to this program as well as the interface ones.
 *
 * It answers each driver's requests and records them raw in the log; it
 * judges nothing. It plays the wire from what the driver programmed: the
 * bytes that the host sends leave at the rate the chip makes from its
 * registers (the data sheet's formula), bit 7 dropped at 7 data bits,
 * held while CTS is off where the chip's flow control is on, through a
 * transmit buffer of the chip's size; they are appended to the wire file.
 * Bytes that the suite gives it arrive at the host at the same rate.
 *
 *   chip_gadget CHIP LOG WIRE CONTROL
 *
 * CHIP is ch341, cp210x, pl2303 or ch9102 (WCH's CDC-ACM bridge: one
 * interface of class 2, subclass 2 with its three endpoints, which cdc_acm
 * takes as a collapsed ACM function; FunctionFS takes no class-specific
 * descriptors). CONTROL is a FIFO taking one command a line: "cts 0|1",
 * "send FILE", "watch FIFO" (what is written into FIFO is logged as it
 * comes, until its writer closes it), "unplug", "plug", "quit". The player
 * runs at real-time priority, as a chip keeps its own time: its threads
 * wake when the bus or the clock says, not when the guest's scheduler
 * gets round to them. The log has one
 * event a line, each starting with CLOCK_BOOTTIME in seconds (as
 * /proc/uptime):
 *   T ready                         the gadget is bound to the UDC
 *   T req TYPE REQ VALUE INDEX LEN [DATA]   a control request (hex); T
 *                                   is when it arrived
 *   T idle N S                      a packet came after the line had been
 *                                   idle S seconds, N bytes having left
 *                                   on the wire so far
 *   T empty N E                     the line fell idle at E, N bytes having
 *                                   left on it so far
 *   T rxdone N                      the last of N bytes given went to the host
 *   T said HEX / T said-end         what came into the watched FIFO, its close
 *   T flow F                        the chip's CTS flow control, as the
 *                                   driver's last request left it, changed
 *   T held N                        CTS off held N bytes in the chip
 *   T late D                        the program itself ran D seconds late
 *                                   (5 ms or more): the guest was stalled
 *   T unplugged / T plugged
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/aio_abi.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define GADGET "/sys/kernel/config/usb_gadget/chip"
#define FFS "/dev/ffs-chip"

/* What a chip keeps of the driver's settings; the chip's own rules turn it
 * into the line's rate, character size and flow control. */
struct line {
    uint8_t regs[256];      /* ch341 and pl2303 registers */
    uint8_t coding[7];      /* pl2303 line coding */
    uint32_t cp_rate;       /* cp210x SET_BAUDRATE */
    uint16_t cp_line_ctl;   /* cp210x SET_LINE_CTL */
    uint8_t cp_flow[16];    /* cp210x SET_FLOW */
    int dtr, rts;
    int cts;                /* played by the suite */
};

struct chip {
    const char *name;
    unsigned vid, pid, bcd;
    int interface_class;    /* 0xff vendor, 2 CDC communication */
    int bulk;               /* bulk packet size */
    int int_size;           /* interrupt packet size, 0 for none */
    int tx_buffer;          /* the chip's transmit buffer in bytes */
    /* Answers a control request: for IN, fills data and returns its
     * length; for OUT, takes data; returns -1 to stall. */
    int (*setup)(struct line *l, const struct usb_ctrlrequest *r, uint8_t *data);
    double (*rate)(const struct line *l);
    int (*bits)(const struct line *l);      /* data bits */
    int (*frame)(const struct line *l);     /* bits a character takes on the line */
    int (*cts_flow)(const struct line *l);  /* sending waits for CTS */
    int (*status)(const struct line *l, uint8_t *packet); /* interrupt packet */
};

/* ---- CH340/CH341 (WCH): registers written two at a time by 0x9a; the
 * rate is 48 MHz / (2^(12 - 3 ps - fact) * (256 - reg 0x13)), prescaler
 * register 0x12 holding ps in bits 0-1 and fact in bit 2; the line control
 * in register 0x18; RTS/CTS in register 0x27 bit 0 (written by Linux 6.14
 * and later). Modem status comes inverted. */
static int ch341_msr(const struct line *l)
{
    return (l->cts ? 0x01 : 0) | 0x02 | 0x08; /* CTS, DSR, DCD */
}

static int ch341_setup(struct line *l, const struct usb_ctrlrequest *r, uint8_t *data)
{
    const unsigned value = le16toh(r->wValue), index = le16toh(r->wIndex);
    switch (r->bRequest) {
    case 0x5f: data[0] = 0x30; data[1] = 0; return 2;          /* version */
    case 0x95:                                                  /* read registers */
        l->regs[0x06] = (uint8_t)~ch341_msr(l);
        data[0] = l->regs[value & 0xff];
        data[1] = l->regs[value >> 8];
        return 2;
    case 0x9a:                                                  /* write registers */
        l->regs[value & 0xff] = index & 0xff;
        l->regs[value >> 8] = index >> 8;
        return 0;
    case 0xa1: return 0;                                        /* serial init */
    case 0xa4:                                                  /* modem control, inverted */
        l->dtr = !(value & 0x20);
        l->rts = !(value & 0x40);
        return 0;
    }
    return -1;
}

static double ch341_rate(const struct line *l)
{
    const int pre = l->regs[0x12], div = l->regs[0x13] ? 0x100 - l->regs[0x13] : 256;
    return 48e6 / ((double)(1 << (12 - 3 * (pre & 3) - ((pre >> 2) & 1))) * div);
}

static int ch341_bits(const struct line *l) { return 5 + (l->regs[0x18] & 3); }

static int ch341_frame(const struct line *l)
{
    return 1 + ch341_bits(l) + !!(l->regs[0x18] & 0x08) + ((l->regs[0x18] & 0x04) ? 2 : 1);
}

static int ch341_cts_flow(const struct line *l) { return l->regs[0x27] & 1; }

static int ch341_status(const struct line *l, uint8_t *p)
{
    p[0] = 0x08; p[1] = 0; p[2] = (uint8_t)~ch341_msr(l); p[3] = 0xee;
    return 4;
}

static int acm_setup(struct line *l, const struct usb_ctrlrequest *r, uint8_t *data);

/* ---- PL2303TA (Prolific): vendor registers by request 1 (reads of reg |
 * 0x80); the CDC-like line coding: a rate of the chip's table sent as it
 * is, or a divisor marked by 0x80 in byte 3: 12 MHz * 32 / (mantissa *
 * 2^exponent), mantissa in bits 0-10, exponent in bits 13-15 and 16.
 * Register 0 bits 5-6 set: RTS/CTS. Status in byte 8 of the interrupt
 * packet: DCD 0x01, DSR 0x02, CTS 0x80. A direct rate the chip does not
 * know runs at 9600. */
static const uint32_t pl2303_known[] = {75,     150,    300,    600,     1200,    1800,    2400,
                                        3600,   4800,   7200,   9600,    14400,   19200,   28800,
                                        38400,  57600,  115200, 230400,  460800,  614400,  921600,
                                        1228800, 2457600, 3000000, 6000000};

static int pl2303_setup(struct line *l, const struct usb_ctrlrequest *r, uint8_t *data)
{
    const unsigned value = le16toh(r->wValue), index = le16toh(r->wIndex);
    if (r->bRequestType == 0xc0 && r->bRequest == 0x01) {      /* vendor read */
        data[0] = l->regs[value & 0x7f];
        return 1;
    }
    if (r->bRequestType == 0x40 && r->bRequest == 0x01) {      /* vendor write */
        l->regs[value & 0x7f] = (uint8_t)index;
        return 0;
    }
    /* The rest are CDC-ACM's class requests, which the PL2303 takes too. */
    return acm_setup(l, r, data);
}

static double pl2303_rate(const struct line *l)
{
    const uint8_t *b = l->coding;
    if (b[3] == 0x80) {
        const unsigned m = b[0] | (b[1] & 7) << 8, e = (b[1] >> 4) | (b[2] & 1);
        return m ? 384e6 / ((double)m * (1u << e)) : 9600;
    }
    const uint32_t direct = b[0] | b[1] << 8 | b[2] << 16 | (uint32_t)b[3] << 24;
    for (size_t i = 0; i < sizeof pl2303_known / sizeof *pl2303_known; ++i)
        if (pl2303_known[i] == direct) return direct;
    return 9600;
}

static int pl2303_bits(const struct line *l) { return l->coding[6] >= 5 && l->coding[6] <= 8 ? l->coding[6] : 8; }

static int pl2303_frame(const struct line *l)
{
    return 1 + pl2303_bits(l) + (l->coding[5] != 0) + (l->coding[4] ? 2 : 1);
}

static int pl2303_cts_flow(const struct line *l) { return (l->regs[0] & 0x60) == 0x60; }

static int pl2303_status(const struct line *l, uint8_t *p)
{
    memset(p, 0, 10);
    p[0] = 0xa1; p[1] = 0x20; p[8] = 0x01 | 0x02 | (l->cts ? 0x80 : 0);
    return 10;
}

/* ---- CP2102 (Silicon Labs): interface requests of type 0x41/0xc1, the
 * part number by a device request; SET_BAUDRATE takes the rate, which the
 * driver has already fitted to the part; SET_LINE_CTL: data bits in bits
 * 8-15, parity in 4-7, stop bits in 0-3; SET_FLOW bit 3: CTS handshake.
 * GET_COMM_STATUS tells the bytes waiting to leave. */
static int cp210x_queue;

static int cp210x_setup(struct line *l, const struct usb_ctrlrequest *r, uint8_t *data)
{
    const unsigned value = le16toh(r->wValue), length = le16toh(r->wLength);
    if (r->bRequestType == 0xc0 && r->bRequest == 0xff) {      /* vendor specific */
        memset(data, 0, length);
        if (value == 0x370b) data[0] = 0x02;                    /* CP2102 */
        return length;
    }
    if (r->bRequestType == 0x41) {
        switch (r->bRequest) {
        case 0x1e: l->cp_rate = data[0] | data[1] << 8 | data[2] << 16 | (uint32_t)data[3] << 24; break;
        case 0x03: l->cp_line_ctl = (uint16_t)value; break;
        case 0x13: memcpy(l->cp_flow, data, 16); break;
        case 0x07:
            if (value & 0x100) l->dtr = value & 1;
            if (value & 0x200) l->rts = !!(value & 2);
            break;
        }
        return 0;
    }
    if (r->bRequestType == 0xc1) {
        memset(data, 0, length);
        switch (r->bRequest) {
        case 0x04: data[0] = l->cp_line_ctl & 0xff; data[1] = l->cp_line_ctl >> 8; break;
        case 0x08: data[0] = (l->dtr ? 1 : 0) | (l->rts ? 2 : 0) | (l->cts ? 0x10 : 0) | 0x20 | 0x80; break;
        case 0x14: memcpy(data, l->cp_flow, length < 16 ? length : 16); break;
        case 0x1d: memcpy(data, &l->cp_rate, length < 4 ? length : 4); break;
        case 0x10:
            if (length >= 16) {
                data[12] = cp210x_queue & 0xff;
                data[13] = (cp210x_queue >> 8) & 0xff;
            }
            break;
        }
        return length;
    }
    return -1;
}

static double cp210x_rate(const struct line *l) { return l->cp_rate ? l->cp_rate : 9600; }
static int cp210x_bits(const struct line *l) { return (l->cp_line_ctl >> 8) ? (l->cp_line_ctl >> 8) : 8; }

static int cp210x_frame(const struct line *l)
{
    return 1 + cp210x_bits(l) + (((l->cp_line_ctl >> 4) & 15) != 0) + ((l->cp_line_ctl & 15) ? 2 : 1);
}

static int cp210x_cts_flow(const struct line *l) { return l->cp_flow[0] & 0x08; }

/* ---- CH9102 (WCH), a CDC-ACM bridge: the class's requests only.
 * SET_LINE_CODING gives the rate as it is (dwDTERate), the stop bits,
 * parity and data bits; SET_CONTROL_LINE_STATE DTR (bit 0) and RTS (bit
 * 1). SERIAL_STATE tells DCD and DSR; CTS has no place in it. */
static int acm_setup(struct line *l, const struct usb_ctrlrequest *r, uint8_t *data)
{
    const unsigned value = le16toh(r->wValue);
    if (r->bRequestType == 0x21 && r->bRequest == 0x20) {      /* set line coding */
        memcpy(l->coding, data, 7);
        return 0;
    }
    if (r->bRequestType == 0xa1 && r->bRequest == 0x21) {      /* get line coding */
        memcpy(data, l->coding, 7);
        return 7;
    }
    if (r->bRequestType == 0x21 && r->bRequest == 0x22) {      /* control lines */
        l->dtr = value & 1;
        l->rts = !!(value & 2);
        return 0;
    }
    if (r->bRequestType == 0x21 && r->bRequest == 0x23) return 0; /* break */
    return -1;
}

static double acm_rate(const struct line *l)
{
    const uint8_t *b = l->coding;
    const uint32_t rate = b[0] | b[1] << 8 | b[2] << 16 | (uint32_t)b[3] << 24;
    return rate ? rate : 9600;
}

static int acm_cts_flow(const struct line *l) { (void)l; return 0; }

static int acm_status(const struct line *l, uint8_t *p)
{
    (void)l;
    memset(p, 0, 10);
    p[0] = 0xa1; p[1] = 0x20; p[6] = 2; p[8] = 0x01 | 0x02;    /* SERIAL_STATE: DCD, DSR */
    return 10;
}

/* What each chip holds once its driver's queue is empty: its transmit
 * buffer. WCH publishes no figure for the CH340/CH341: it takes 32-byte
 * bulk packets, and once the driver's queue is empty it may still hold the
 * one on the line and one behind it, so it is played with two. The
 * PL2303's 256 bytes are the buffer that pl2303 itself drains for at close
 * (drain_delay, 256 character times). The CP2102's 640 bytes are its data
 * sheet's. The CH9102 is played, as for the CH340, with two of its 64-byte
 * full-speed packets. */
#define CH340_HOLD 64
#define PL2303_HOLD 256
#define CP2102_HOLD 640
#define CH9102_HOLD 128

static const struct chip chips[] = {
    {"ch341", 0x1a86, 0x7523, 0x0254, 0xff, 32, 8, CH340_HOLD, ch341_setup, ch341_rate, ch341_bits,
     ch341_frame, ch341_cts_flow, ch341_status},
    {"pl2303", 0x067b, 0x2303, 0x0300, 0xff, 64, 10, PL2303_HOLD, pl2303_setup, pl2303_rate, pl2303_bits,
     pl2303_frame, pl2303_cts_flow, pl2303_status},
    {"cp210x", 0x10c4, 0xea60, 0x0100, 0xff, 64, 0, CP2102_HOLD, cp210x_setup, cp210x_rate, cp210x_bits,
     cp210x_frame, cp210x_cts_flow, NULL},
    {"ch9102", 0x1a86, 0x55d4, 0x0442, 2, 64, 10, CH9102_HOLD, acm_setup, acm_rate, pl2303_bits,
     pl2303_frame, acm_cts_flow, acm_status},
};

/* ---- state shared by the threads */
static const struct chip *chip;
static struct line line;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static uint8_t txbuf[1024];
static int tx_head, tx_count;
static long wire_total;
static int enabled;
static int status_dirty = 1;
static int ep0 = -1, ep_in = -1, ep_out = -1, ep_int = -1;
static FILE *logf;
static const char *wire_path;
static char rx_path[300];
static int rx_pending;

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_BOOTTIME, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static void log_at(double t, const char *format, va_list args)
{
    static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&log_lock);
    fprintf(logf, "%.6f ", t);
    vfprintf(logf, format, args);
    fputc('\n', logf);
    fflush(logf);
    pthread_mutex_unlock(&log_lock);
}

static void log_event(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    log_at(now(), format, args);
    va_end(args);
}

static void log_event_at(double t, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    log_at(t, format, args);
    va_end(args);
}

/* Sleeps until the absolute time t (CLOCK_BOOTTIME): a late wake-up is not
 * carried into the next deadline. */
static void sleep_until(double t)
{
    struct timespec s = {(time_t)t, (long)((t - (time_t)t) * 1e9)};
    while (clock_nanosleep(CLOCK_BOOTTIME, TIMER_ABSTIME, &s, NULL) == EINTR) {
    }
}

static int write_file(const char *path, const char *text)
{
    const int fd = open(path, O_WRONLY);
    if (fd < 0) return -1;
    const ssize_t n = write(fd, text, strlen(text));
    close(fd);
    return n == (ssize_t)strlen(text) ? 0 : -1;
}

/* ---- the gadget */
struct ep_desc {
    uint8_t bLength, bDescriptorType, bEndpointAddress, bmAttributes;
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
} __attribute__((packed));

struct speed_descs {
    struct usb_interface_descriptor intf;
    struct ep_desc ep[3];
} __attribute__((packed));

static struct ep_desc endpoint(int address, int attributes, int size, int interval)
{
    struct ep_desc e = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, (uint8_t)address, (uint8_t)attributes,
                        htole16((uint16_t)size), (uint8_t)interval};
    return e;
}

static struct speed_descs descs_for(int bulk)
{
    struct speed_descs d;
    memset(&d, 0, sizeof d);
    d.intf.bLength = sizeof d.intf;
    d.intf.bDescriptorType = USB_DT_INTERFACE;
    d.intf.bNumEndpoints = chip->int_size ? 3 : 2;
    d.intf.bInterfaceClass = (uint8_t)chip->interface_class;
    if (chip->interface_class == 2) {
        d.intf.bInterfaceSubClass = 2;  /* abstract control model */
        d.intf.bInterfaceProtocol = 1;  /* AT commands (V.250), as the bridges say */
    }
    d.ep[0] = endpoint(1 | USB_DIR_IN, USB_ENDPOINT_XFER_BULK, bulk, 0);
    d.ep[1] = endpoint(2 | USB_DIR_OUT, USB_ENDPOINT_XFER_BULK, bulk, 0);
    d.ep[2] = endpoint(3 | USB_DIR_IN, USB_ENDPOINT_XFER_INT, chip->int_size, 1);
    return d;
}

/* FunctionFS's descriptors (v2: a header, the counts, full-speed then
 * high-speed descriptors) and an empty string table. */
static int write_descriptors(void)
{
    const int endpoints = chip->int_size ? 3 : 2, acm = chip->interface_class == 2;
    const uint32_t count = 1 + acm + endpoints;
    const struct speed_descs fs = descs_for(chip->bulk), hs = descs_for(512);
    uint8_t buffer[sizeof(struct usb_functionfs_descs_head_v2) + 8 + 2 * (sizeof(struct speed_descs) + 3)];
    struct usb_functionfs_descs_head_v2 head = {
        htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2), 0,
        htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP)};
    const uint32_t counts[2] = {htole32(count), htole32(count)};
    size_t at = sizeof head;
    memcpy(buffer + at, counts, sizeof counts), at += sizeof counts;
    /* cdc_acm wants some descriptor between the interface and its
     * endpoints, and FunctionFS refuses the class's own (CS_INTERFACE): an
     * OTG descriptor (no OTG features), which cdc_acm skips, leaves it with
     * no union descriptor and three endpoints, a collapsed ACM function. */
    static const uint8_t otg[3] = {3, USB_DT_OTG, 0};
    for (int speed = 0; speed < 2; ++speed) {
        const struct speed_descs *d = speed ? &hs : &fs;
        memcpy(buffer + at, &d->intf, sizeof d->intf), at += sizeof d->intf;
        if (acm) memcpy(buffer + at, otg, sizeof otg), at += sizeof otg;
        memcpy(buffer + at, d->ep, endpoints * sizeof *d->ep), at += endpoints * sizeof *d->ep;
    }
    head.length = htole32((uint32_t)at);
    memcpy(buffer, &head, sizeof head);
    if (write(ep0, buffer, at) != (ssize_t)at) return -1;
    const struct usb_functionfs_strings_head strings = {htole32(FUNCTIONFS_STRINGS_MAGIC),
                                                        htole32(sizeof strings), 0, 0};
    return write(ep0, &strings, sizeof strings) == sizeof strings ? 0 : -1;
}

/* The name of the first (only) UDC: dummy_hcd's. */
static int udc_name(char *name, size_t size)
{
    DIR *d = opendir("/sys/class/udc");
    struct dirent *e;
    name[0] = 0;
    while (d && (e = readdir(d)))
        if (e->d_name[0] != '.') snprintf(name, size, "%s", e->d_name);
    if (d) closedir(d);
    return name[0] ? 0 : -1;
}

static int plug(int in)
{
    char udc[300] = "";
    if (in && udc_name(udc, sizeof udc) != 0) return -1;
    return write_file(GADGET "/UDC", in ? udc : "\n");
}

static int make_gadget(void)
{
    char text[64];
    mkdir("/sys/kernel/config", 0755);
    mount("none", "/sys/kernel/config", "configfs", 0, NULL);
    if (mkdir(GADGET, 0755) != 0 && errno != EEXIST) return -1;
    snprintf(text, sizeof text, "0x%04x", chip->vid);
    write_file(GADGET "/idVendor", text);
    snprintf(text, sizeof text, "0x%04x", chip->pid);
    write_file(GADGET "/idProduct", text);
    snprintf(text, sizeof text, "0x%04x", chip->bcd);
    write_file(GADGET "/bcdDevice", text);
    mkdir(GADGET "/strings/0x409", 0755);
    write_file(GADGET "/strings/0x409/manufacturer", "vesklo");
    write_file(GADGET "/strings/0x409/product", chip->name);
    write_file(GADGET "/strings/0x409/serialnumber", "0001");
    mkdir(GADGET "/configs/c.1", 0755);
    mkdir(GADGET "/functions/ffs.chip", 0755);
    symlink(GADGET "/functions/ffs.chip", GADGET "/configs/c.1/ffs.chip");
    mkdir(FFS, 0755);
    if (mount("chip", FFS, "functionfs", 0, NULL) != 0) return -1;
    ep0 = open(FFS "/ep0", O_RDWR);
    if (ep0 < 0 || write_descriptors() != 0) return -1;
    ep_in = open(FFS "/ep1", O_RDWR);
    ep_out = open(FFS "/ep2", O_RDWR);
    if (chip->int_size) ep_int = open(FFS "/ep3", O_RDWR);
    return ep_in < 0 || ep_out < 0 ? -1 : plug(1);
}

static void remove_gadget(void)
{
    plug(0);
    close(ep_in), close(ep_out), close(ep_int), close(ep0);
    umount(FFS);
    rmdir(FFS);
    unlink(GADGET "/configs/c.1/ffs.chip");
    rmdir(GADGET "/configs/c.1");
    rmdir(GADGET "/functions/ffs.chip");
    rmdir(GADGET "/strings/0x409");
    rmdir(GADGET);
}

/* ---- ep0: the driver's requests */
static void control(const struct usb_ctrlrequest *r, double arrived)
{
    uint8_t data[512] = {0};
    const int length = le16toh(r->wLength) < sizeof data ? le16toh(r->wLength) : (int)sizeof data;
    char hex[2 * sizeof data + 1] = "";
    if (!(r->bRequestType & USB_DIR_IN) && length > 0 && read(ep0, data, length) != length) return;
    static int flow;
    pthread_mutex_lock(&lock);
    const int answer = chip->setup(&line, r, data);
    const int flow_was = flow;
    flow = !!chip->cts_flow(&line);
    status_dirty = 1;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    if (r->bRequestType & USB_DIR_IN) {
        if (answer < 0) (void)!read(ep0, data, 0); /* stall */
        else (void)!write(ep0, data, answer < length ? answer : length);
    } else if (answer < 0) {
        (void)!write(ep0, data, 0);
    } else if (length == 0) {
        (void)!read(ep0, data, 0); /* the status stage */
    }
    const int shown = (r->bRequestType & USB_DIR_IN) ? (answer > 0 ? answer : 0) : length;
    for (int i = 0; i < shown && i < length; ++i) sprintf(hex + 2 * i, "%02x", data[i]);
    log_event_at(arrived, "req %02x %02x %04x %04x %d %s%s", r->bRequestType, r->bRequest, le16toh(r->wValue),
              le16toh(r->wIndex), le16toh(r->wLength), hex, answer < 0 ? "stall" : "");
    if (flow != flow_was) log_event("flow %d", flow);
}

/* The next event on ep0. The wait is in poll(), never in read(): a read
 * that waits holds FunctionFS's lock, and an unplug (the write to the UDC
 * file) then waits in functionfs_unbind for it, for ever on some kernels
 * (6.12). */
static int next_event(struct usb_functionfs_event *e)
{
    struct pollfd p = {.fd = ep0, .events = POLLIN, .revents = 0};
    while (poll(&p, 1, -1) < 0)
        if (errno != EINTR) return 0;
    return read(ep0, e, sizeof *e) == sizeof *e;
}

static void *ep0_loop(void *unused)
{
    (void)unused;
    struct usb_functionfs_event e;
    while (next_event(&e)) {
        switch (e.type) {
        case FUNCTIONFS_SETUP: control(&e.u.setup, now()); break;
        case FUNCTIONFS_ENABLE:
            pthread_mutex_lock(&lock);
            enabled = 1;
            status_dirty = 1;
            pthread_cond_broadcast(&changed);
            pthread_mutex_unlock(&lock);
            log_event("enable");
            break;
        case FUNCTIONFS_DISABLE:
        case FUNCTIONFS_UNBIND:
            pthread_mutex_lock(&lock);
            enabled = 0;
            tx_count = 0; /* the chip loses power with the cable */
            cp210x_queue = 0;
            pthread_cond_broadcast(&changed);
            pthread_mutex_unlock(&lock);
            log_event(e.type == FUNCTIONFS_DISABLE ? "disable" : "unbind");
            break;
        default: break;
        }
    }
    return NULL;
}

/* ---- the chip's transmitter, in the line's own time: a character starts
 * when the one before has ended (line_free), as long as the buffer holds
 * one and CTS does not hold it back; the line stays busy until its stop
 * bit. The characters that follow each other without a gap are timed from
 * the start of their run: the n-th ends at run_start + n * character, a
 * deadline of its own, so that neither rounding nor a late wake-up adds up
 * over a long send. */
static double line_free, run_start, run_character;
static long run_sent;
static uint8_t wire_out[8192];
static int wire_pending;

static int held_by_cts(void) { return chip->cts_flow(&line) && !line.cts; }

/* A new run of characters, the first starting at t. */
static void restart_line(double t, double character)
{
    line_free = run_start = t;
    run_sent = 0;
    run_character = character;
}

/* Moves the characters whose start has come by t from the buffer to the
 * wire (under the lock). */
static void advance(double t)
{
    static int held_shown;
    const double character = chip->frame(&line) / chip->rate(&line);
    const uint8_t mask = (uint8_t)((1 << chip->bits(&line)) - 1);
    if (held_by_cts()) {
        if (line_free < t) restart_line(t, character);
        if (tx_count > 0 && !held_shown) log_event("held %d", tx_count);
        held_shown = tx_count > 0;
        return;
    }
    held_shown = 0;
    if (character != run_character) restart_line(line_free, character);
    while (tx_count > 0 && line_free <= t && wire_pending < (int)sizeof wire_out) {
        wire_out[wire_pending++] = txbuf[tx_head] & mask;
        tx_head = (tx_head + 1) % sizeof txbuf;
        tx_count--;
        wire_total++;
        line_free = run_start + ++run_sent * run_character;
    }
    cp210x_queue = tx_count;
}

/* ---- host to chip: a packet read is queued for each packet the transmit
 * buffer has room for, so that the bus can fill the buffer at its own pace
 * (dummy_hcd moves packets once a timer tick); kernel AIO keeps several
 * reads queued on the endpoint, and they complete in order. A packet that
 * finds the buffer empty and the line idle ends a gap in the sending. */
#define SLOTS 8

struct slot {
    struct iocb cb;
    uint8_t data[64];
    int state;  /* 0 free, 1 queued, 2 done */
    long result;
};

static long sys_io_setup(unsigned n, aio_context_t *ctx) { return syscall(SYS_io_setup, n, ctx); }
static long sys_io_submit(aio_context_t ctx, long n, struct iocb **cbs) { return syscall(SYS_io_submit, ctx, n, cbs); }
static long sys_io_getevents(aio_context_t ctx, long min, long max, struct io_event *ev, struct timespec *t)
{
    return syscall(SYS_io_getevents, ctx, min, max, ev, t);
}

static void *out_loop(void *unused)
{
    (void)unused;
    static struct slot slots[SLOTS];
    aio_context_t ctx = 0;
    int next_queue = 0, next_take = 0, queued = 0;
    const int most = chip->tx_buffer / chip->bulk < SLOTS ? chip->tx_buffer / chip->bulk : SLOTS;
    if (sys_io_setup(SLOTS, &ctx) != 0) return NULL;
    for (;;) {
        pthread_mutex_lock(&lock);
        advance(now());
        while (enabled && queued < most && slots[next_queue].state == 0 &&
               chip->tx_buffer - tx_count - queued * chip->bulk >= chip->bulk) {
            struct slot *sl = &slots[next_queue];
            memset(&sl->cb, 0, sizeof sl->cb);
            sl->cb.aio_fildes = ep_out;
            sl->cb.aio_lio_opcode = IOCB_CMD_PREAD;
            sl->cb.aio_buf = (uintptr_t)sl->data;
            sl->cb.aio_nbytes = chip->bulk;
            sl->cb.aio_data = next_queue;
            struct iocb *list[1] = {&sl->cb};
            if (sys_io_submit(ctx, 1, list) != 1) break;
            sl->state = 1;
            queued++;
            next_queue = (next_queue + 1) % SLOTS;
        }
        pthread_mutex_unlock(&lock);
        struct io_event events[SLOTS];
        struct timespec wait = {0, 2000000};
        const long got = sys_io_getevents(ctx, 1, SLOTS, events, &wait);
        pthread_mutex_lock(&lock);
        for (long i = 0; i < got; ++i) {
            struct slot *sl = &slots[events[i].data];
            sl->state = 2;
            sl->result = events[i].res;
        }
        const double t = now();
        advance(t);
        while (slots[next_take].state == 2) {
            struct slot *sl = &slots[next_take];
            if (sl->result > 0 && enabled) {
                if (tx_count == 0 && line_free < t) {
                    log_event("idle %ld %.6f", wire_total, t - line_free);
                    restart_line(t, run_character);
                }
                for (long j = 0; j < sl->result; ++j) txbuf[(tx_head + tx_count + j) % sizeof txbuf] = sl->data[j];
                tx_count += (int)sl->result;
                cp210x_queue = tx_count;
            }
            sl->state = 0;
            queued--;
            next_take = (next_take + 1) % SLOTS;
        }
        pthread_cond_broadcast(&changed);
        const int waiting = !enabled && queued == 0;
        pthread_mutex_unlock(&lock);
        if (waiting) usleep(10000);
    }
    return NULL;
}

/* ---- the wire: what advance moved, written to the wire file, waking at
 * most a thousand times a second whatever the rate. */
static void *wire_loop(void *unused)
{
    (void)unused;
    FILE *wire = fopen(wire_path, "a");
    long idle_logged = 0;
    for (;;) {
        uint8_t out[sizeof wire_out];
        pthread_mutex_lock(&lock);
        advance(now());
        const int n = wire_pending;
        memcpy(out, wire_out, n);
        wire_pending = 0;
        if (tx_count == 0 && wire_total > idle_logged && line_free <= now()) {
            idle_logged = wire_total;
            log_event("empty %ld %.6f", wire_total, line_free);
        }
        const double next = tx_count > 0 && !held_by_cts() ? line_free : now() + 0.01;
        if (n) pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
        if (n) {
            fwrite(out, 1, n, wire);
            fflush(wire);
        }
        const double soonest = now() + 0.001, wake = next > soonest ? next : soonest;
        sleep_until(wake);
        if (now() - wake >= 0.005) log_event("late %.6f", now() - wake);
    }
    return NULL;
}

/* ---- wire to host: the bytes of a file, arriving at the line's rate,
 * handed to the host a packet at a time as the chip does. */
static void *in_loop(void *unused)
{
    (void)unused;
    for (;;) {
        char path[300];
        pthread_mutex_lock(&lock);
        while (!rx_pending) pthread_cond_wait(&changed, &lock);
        rx_pending = 0;
        strcpy(path, rx_path);
        pthread_mutex_unlock(&lock);
        FILE *f = fopen(path, "rb");
        if (!f) continue;
        uint8_t packet[64];
        long total = 0;
        const double start = now();
        size_t n;
        while ((n = fread(packet, 1, chip->bulk, f)) > 0) {
            pthread_mutex_lock(&lock);
            const double character = chip->frame(&line) / chip->rate(&line);
            const uint8_t mask = (uint8_t)((1 << chip->bits(&line)) - 1);
            pthread_mutex_unlock(&lock);
            for (size_t i = 0; i < n; ++i) packet[i] &= mask;
            /* The packet is handed on once its last byte has arrived: at
             * its own deadline from the start. */
            sleep_until(start + (total + (long)n) * character);
            if (write(ep_in, packet, n) != (ssize_t)n) break;
            total += (long)n;
        }
        fclose(f);
        log_event("rxdone %ld", total);
    }
    return NULL;
}

/* ---- the modem status, sent when it changes */
static void *status_loop(void *unused)
{
    (void)unused;
    for (;;) {
        uint8_t packet[16];
        pthread_mutex_lock(&lock);
        while (!status_dirty || !enabled) pthread_cond_wait(&changed, &lock);
        status_dirty = 0;
        const int n = chip->status(&line, packet);
        pthread_mutex_unlock(&lock);
        if (write(ep_int, packet, n) != n) usleep(10000);
    }
    return NULL;
}

/* ---- a FIFO whose writes are logged as they come (a run's output): the
 * player's clock, not the suite's, tells when the run said something. */
static void *watch_loop(void *path)
{
    const int fd = open(path, O_RDONLY);
    free(path);
    if (fd < 0) return NULL;
    uint8_t text[256];
    ssize_t n;
    while ((n = read(fd, text, sizeof text)) > 0) {
        const double t = now();
        char hex[2 * sizeof text + 1];
        for (ssize_t i = 0; i < n; ++i) sprintf(hex + 2 * i, "%02x", text[i]);
        log_event_at(t, "said %s", hex);
    }
    close(fd);
    log_event("said-end");
    return NULL;
}

static void command(char *text)
{
    text[strcspn(text, "\n")] = 0;
    if (strncmp(text, "cts ", 4) == 0) {
        pthread_mutex_lock(&lock);
        line.cts = atoi(text + 4);
        status_dirty = 1;
        pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
        log_event("cts %d", line.cts);
    } else if (strncmp(text, "send ", 5) == 0) {
        pthread_mutex_lock(&lock);
        snprintf(rx_path, sizeof rx_path, "%s", text + 5);
        rx_pending = 1;
        pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
    } else if (strncmp(text, "watch ", 6) == 0) {
        pthread_t t;
        mkfifo(text + 6, 0600);
        if (pthread_create(&t, NULL, watch_loop, strdup(text + 6)) == 0) pthread_detach(t);
    } else if (strcmp(text, "unplug") == 0) {
        plug(0);
        log_event("unplugged");
    } else if (strcmp(text, "plug") == 0) {
        plug(1);
        log_event("plugged");
    } else if (strcmp(text, "quit") == 0) {
        remove_gadget();
        log_event("quit");
        exit(0);
    }
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: chip_gadget ch341|cp210x|pl2303|ch9102 LOG WIRE CONTROL\n");
        return 2;
    }
    for (size_t i = 0; i < sizeof chips / sizeof *chips; ++i)
        if (strcmp(argv[1], chips[i].name) == 0) chip = &chips[i];
    logf = fopen(argv[2], "a");
    wire_path = argv[3];
    if (!chip || !logf) return 2;
    line.cts = 1;
    line.regs[0x18] = 0xc3;
    memcpy(line.coding, "\x80\x25\x00\x00\x00\x00\x08", 7);
    line.cp_line_ctl = 0x800;
    signal(SIGPIPE, SIG_IGN);
    mkfifo(argv[4], 0600);
    /* Real time, inherited by every thread: a chip does not wait for the
     * guest's scheduler (the RT throttle leaves the guest its share). */
    const struct sched_param priority = {sched_get_priority_min(SCHED_FIFO) + 10};
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0) log_event("no real-time priority: %s", strerror(errno));
    if (make_gadget() != 0) {
        fprintf(stderr, "chip_gadget: cannot set up the gadget: %s\n", strerror(errno));
        remove_gadget();
        return 1;
    }
    pthread_t t;
    pthread_create(&t, NULL, ep0_loop, NULL);
    pthread_create(&t, NULL, out_loop, NULL);
    pthread_create(&t, NULL, wire_loop, NULL);
    pthread_create(&t, NULL, in_loop, NULL);
    if (chip->int_size) pthread_create(&t, NULL, status_loop, NULL);
    log_event("ready %s", chip->name);
    for (;;) {
        FILE *c = fopen(argv[4], "r");
        char text[300];
        while (c && fgets(text, sizeof text, c)) command(text);
        if (c) fclose(c);
    }
}
