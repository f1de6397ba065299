// Serial ports over termios.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "custom_rate.h"
#include "endpoint_posix.h"
#include "uart_rate.h"

namespace {

// Read time-outs in tenths of a second (VTIME) and milliseconds (poll).
constexpr cc_t quiet_end_tenths = 20;
constexpr int gather_pause_ms = 50;
constexpr int stall_notice_ms = 5000;

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

// A pseudo-terminal keeps 8 data bits, and the C library reports that as
// a refusal once nothing else changes (a second run at 115200). It has no
// line for data bits to matter on; a real port that keeps them is refused.
bool kept_eight_bits(int fd, const termios &asked)
{
    termios now;
    return (asked.c_cflag & CSIZE) == CS7 && is_pseudo_terminal(fd) && tcgetattr(fd, &now) == 0 &&
           (now.c_cflag & CSIZE) == CS8;
}

bool apply_speed(int fd, termios *t, std::int32_t baud_rate)
{
    const speed_t speed = standard_speed(baud_rate);
    // The placeholder B38400 is replaced by the custom rate below.
    // cfsetspeed and tcsetattr: 0 on success, -1 on failure; tcsetattr
    // succeeds when any change took, hence the read-back.
    if (cfsetspeed(t, speed != B0 ? speed : B38400) != 0) return false;
    if (tcsetattr(fd, TCSANOW, t) != 0 && !(errno == EINVAL && kept_eight_bits(fd, *t))) return false;
    if (speed == B0) return set_custom_rate(fd, baud_rate) && current_custom_rate(fd) == baud_rate;
    termios now;
    return tcgetattr(fd, &now) == 0 && cfgetospeed(&now) == speed && cfgetispeed(&now) == speed;
}

// Line settings, speed, DTR and blocking mode of a port this run holds.
bool configure(int fd, std::int32_t baud_rate, endpoint_role role)
{
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        note_failure(cause_system, errno);
        return false;
    }
    make_port_settings(&t, baud_rate);
    if (!apply_speed(fd, &t, baud_rate)) {
        note_rate_refused(baud_rate, rate_of(fd));
        return false;
    }
    // A driver reports the rate asked for even where its UART runs at
    // another or at none; the far end would disagree. Where the UART's
    // rules are known, the rate it makes is judged instead.
    const uart_rules uart = uart_rules_of(fd);
    const std::int32_t made = uart_rate_made(uart.kind, uart.clock_hz, baud_rate);
    if (!rate_close_enough(baud_rate, made)) {
        note_rate_refused(baud_rate, made);
        return false;
    }
    // Pseudo-terminals have no modem lines, so a refusal is not an error.
    const int dtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIS, &dtr);
    // The open did not wait for carrier. From now on reads block; writes
    // wait in port_write.
    const int flags = fcntl(fd, F_GETFL);
    const int blocking = role == role_source ? flags & ~O_NONBLOCK : flags;
    if (flags != -1 && fcntl(fd, F_SETFL, blocking) != -1) return true;
    note_failure(cause_system, errno);
    return false;
}

// After the first data has arrived a read ends after 2 s of silence. The
// port's own VMIN/VTIME record that data has arrived.
void note_data_arrived(int fd)
{
    termios t;
    if (tcgetattr(fd, &t) != 0 || t.c_cc[VMIN] == 0) return;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = quiet_end_tenths;
    tcsetattr(fd, TCSANOW, &t);
}

// What poll reports of fd within ms: its revents, 0 on time-out or failure.
// poll: the number of ready descriptors, 0 on time-out, -1 on failure.
short poll_once(int fd, short events, int ms)
{
    pollfd p = {fd, events, 0};
    int n = 0;
    do n = poll(&p, 1, ms);
    while (n < 0 && errno == EINTR);
    return n > 0 ? p.revents : 0;
}

bool ready_within(int fd, short events, int ms)
{
    return poll_once(fd, events, ms) != 0;
}

// A hung-up port (a USB adapter pulled out, vhangup, a closed far side of a
// pseudo-terminal) reads 0 at once, which must not pass for the silence
// that ends a receive.
bool hung_up(int fd)
{
    return (poll_once(fd, POLLIN, 0) & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void pause_ms(long ms)
{
    timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    // nanosleep: 0, or -1 with the time still left when interrupted.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

std::int32_t read_retrying(int fd, void *buffer, std::int32_t count)
{
    ssize_t n = 0;
    do n = read(fd, buffer, static_cast<size_t>(count));
    while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<std::int32_t>(n);
    note_failure(cause_system, errno);
    return -1;
}

bool com_device_path(const char *name, char *path, std::size_t size)
{
    const char *digits = name + 3;
    if (*digits < '1' || *digits > '9') return false;
    long n = 0;
    for (const char *p = digits; *p; ++p) {
        if (*p < '0' || *p > '9' || p - digits >= 6) return false;
        n = n * 10 + (*p - '0');
    }
    const int written = std::snprintf(path, size, "/dev/ttyS%ld", n - 1);
    return written > 0 && static_cast<std::size_t>(written) < size;
}

speed_t standard_speed(std::int32_t baud_rate)
{
    for (const rate_entry &e : standard_rates)
        if (e.rate == baud_rate) return e.speed;
    return B0;
}

bool rate_close_enough(std::int32_t asked, std::int32_t actual)
{
    const std::int64_t off = static_cast<std::int64_t>(actual) - asked;
    return (off < 0 ? -off : off) * 50 <= asked;
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

bool port_setup(int fd, std::int32_t baud_rate, endpoint_role role)
{
    if (baud_rate <= 0) {
        note_rate_refused(baud_rate, rate_of(fd));
        return false;
    }
    // flock keeps out other runs (also as root); TIOCEXCL refuses further
    // opens of the device to anyone but root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        note_lock_refused(fd);
        return false;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        note_failure(cause_system, errno);
        return false;
    }
    if (configure(fd, baud_rate, role)) return true;
    // Exclusive use would outlive this run on a device that stays open
    // elsewhere (a pseudo-terminal).
    ioctl(fd, TIOCNXCL);
    return false;
}

std::int32_t port_read(int fd, void *buffer, std::int32_t count)
{
    char *p = static_cast<char *>(buffer);
    std::int32_t got = read_retrying(fd, p, count);
    if (got == 0 && hung_up(fd)) {
        note_failure(cause_hung_up, EIO);
        return -1;
    }
    if (got <= 0) return got;
    note_data_arrived(fd);
    while (got < count && ready_within(fd, POLLIN, gather_pause_ms)) {
        // A failure here is left for the next read to report, so that what
        // has already arrived is not lost.
        const std::int32_t more = read_retrying(fd, p + got, count - got);
        if (more <= 0) break;
        got += more;
    }
    return got;
}

std::int32_t port_write(int fd, const void *buffer, std::int32_t count, const char *name)
{
    static bool told = false;
    const char *p = static_cast<const char *>(buffer);
    std::int32_t done = 0;
    while (done < count) {
        // write: the count written, or -1 (EAGAIN: the port has no room).
        const ssize_t n = write(fd, p + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<std::int32_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            if (ready_within(fd, POLLOUT, stall_notice_ms) || told) continue;
            told = true;
            std::fprintf(stderr,
                         "vesklo: %s: the port has taken no data for 5 s: the receiver may not "
                         "be ready (CTS off), or the cable may have no handshake lines; still "
                         "waiting (Ctrl-C ends it)\n",
                         name);
        } else if (n == 0 || errno != EINTR) {
            note_failure(n == 0 ? cause_no_progress : cause_system, n == 0 ? 0 : errno);
            return -1;
        }
    }
    return count;
}

void port_drain(int fd)
{
    // tcdrain returns at once when nothing is queued.
    while (tcdrain(fd) != 0 && errno == EINTR) {
    }
    pause_ms(100);
    ioctl(fd, TIOCNXCL);
}
