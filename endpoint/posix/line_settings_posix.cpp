#include "line_settings_posix.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "system_posix.h"
#include "failure_record.h"
#include "uart.h"

namespace {

struct rate_entry {
    std::int32_t rate;
    speed_t speed;
};

constexpr rate_entry standard_rates[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800}, {921600, B921600},
#endif
};

// The rate fd sends at, 0 when unknown.
std::int32_t rate_of(int fd)
{
    const std::int32_t custom = current_custom_rate(fd);
    termios t;
    if (custom > 0 || tcgetattr(fd, &t) != 0) return custom;
    for (const rate_entry &e : standard_rates)
        if (e.speed == cfgetospeed(&t)) return e.rate;
    return 0;
}

bool apply_speed(int fd, termios *t, std::int32_t baud_rate)
{
    const speed_t speed = standard_speed(baud_rate);
    // The placeholder B38400 is replaced by the custom rate below.
    // tcsetattr succeeds when any change took, and the C library reports EINVAL when
    // what it reads back differs (a port that keeps 8 data bits, once
    // nothing else changes); the read-back decides either way.
    if (cfsetspeed(t, speed != B0 ? speed : B38400) != 0) return false;
    if (tcsetattr(fd, TCSANOW, t) != 0 && errno != EINVAL) return false;
    // A driver that reports the rate its chip makes (cp210x, pl2303) passes
    // where that is near enough.
    if (speed == B0)
        return set_custom_rate(fd, baud_rate) &&
               rate_close_enough(baud_rate, current_custom_rate(fd));
    termios now;
    return tcgetattr(fd, &now) == 0 && cfgetospeed(&now) == speed && cfgetispeed(&now) == speed;
}

int data_bits(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

// What fd kept of asked. A pseudo-terminal always keeps 8 data bits and has
// no line for them to matter on: it keeps nothing worth telling.
kept_settings kept_of(int fd, const termios &asked)
{
    kept_settings kept = {0, 0, false};
    termios now;
    if (is_pseudo_terminal(fd) || tcgetattr(fd, &now) != 0) return kept;
    if ((now.c_cflag & CSIZE) != (asked.c_cflag & CSIZE)) {
        kept.data_bits = data_bits(now.c_cflag);
        kept.asked_data_bits = data_bits(asked.c_cflag);
    }
    kept.no_handshake = (asked.c_cflag & CRTSCTS) && !(now.c_cflag & CRTSCTS);
    return kept;
}

}  // namespace

speed_t standard_speed(std::int32_t baud_rate)
{
    for (const rate_entry &e : standard_rates)
        if (e.rate == baud_rate) return e.speed;
    return B0;
}

void make_port_settings(termios *t, std::int32_t baud_rate)
{
    t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                         ICRNL | IXON | IXOFF | IXANY | INPCK);
    t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    t->c_cflag |= (baud_rate == 115200 ? CS7 : CS8) | CREAD | CLOCAL | CRTSCTS;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
}

bool usable_rate(int fd, std::int32_t baud_rate)
{
    if (baud_rate > 0) return true;
    note_rate_refused(EINVAL, baud_rate, rate_of(fd));
    return false;
}

namespace {

// A driver reports the rate asked for even where its UART runs at another
// or at none; the far end would disagree. Where the UART's rules are
// known, the rate it makes is judged instead. Returns false, with the
// refusal noted, when the UART would not run within 2% of baud_rate; *made
// is the rate it would run at.
bool uart_makes(int fd, const uart_rules &uart, std::int32_t baud_rate, std::int32_t *made)
{
    *made = uart_rate_made(uart.kind, uart.clock_hz, baud_rate);
    if (*made == uart_keeps_rate) *made = rate_of(fd);
    if (rate_close_enough(baud_rate, *made)) return true;
    note_rate_refused(EINVAL, baud_rate, *made);
    return false;
}

}  // namespace

bool configure_line(int fd, std::int32_t baud_rate, endpoint_role role, endpoint *port)
{
    // Judged before anything changes where the rules are known; where only
    // the read-back can tell, the settings read here go back on a refusal.
    const uart_rules uart = uart_rules_of(fd);
    std::int32_t made = 0;
    if (!uart_makes(fd, uart, baud_rate, &made)) return false;
    saved_line before;
    termios t;
    if (!save_line(fd, &before) || tcgetattr(fd, &t) != 0) {
        note_failure(cause_system, errno);
        return false;
    }
    make_port_settings(&t, baud_rate);
    if (!apply_speed(fd, &t, baud_rate)) {
        note_rate_refused(EINVAL, baud_rate, rate_of(fd));
        restore_line(fd, before);
        return false;
    }
    port->kept = kept_of(fd, t);
    // A handshake that the driver drops, though termios keeps it, is kept
    // settings like any other.
    if (uart.drops_handshake && (t.c_cflag & CRTSCTS)) port->kept.no_handshake = true;
    port->uart = uart;
    port->rate = made > 0 ? made : baud_rate;
    port->no_line = is_pseudo_terminal(fd);
    // Pseudo-terminals have no modem lines, so a refusal is not an error.
    const int dtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIS, &dtr);
    // The open did not wait for carrier. From now on reads block; writes
    // wait in port_write.
    const int flags = fcntl(fd, F_GETFL);
    const int blocking = role == role_source ? flags & ~O_NONBLOCK : flags;
    if (flags != -1 && fcntl(fd, F_SETFL, blocking) != -1) return true;
    note_failure(cause_system, errno);
    restore_line(fd, before);
    return false;
}
