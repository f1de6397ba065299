#include "serial_posix.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstdio>

#include "failure_record.h"
#include "held_ports_posix.h"
#include "line_settings_posix.h"
#include "retry_posix.h"

namespace {

// Read time-outs in tenths of a second (VTIME) and milliseconds (poll).
constexpr cc_t quiet_end_tenths = 20;
constexpr int gather_pause_ms = 50;
constexpr int stall_notice_ms = 5000;
constexpr int queue_poll_ms = 100;

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

// A hung-up port (a USB adapter pulled out, vhangup, a closed far side of a
// pseudo-terminal) reads 0 at once, which must not pass for the silence
// that ends a receive.
bool hung_up(int fd)
{
    return (wait_for(fd, POLLIN, 0) & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Notes a failed read, write or drain on a port: the errors of a device that
// went away or a line that was hung up are a hang-up, with its hint.
void note_port_failure(int code)
{
    const bool gone = code == EIO || code == ENXIO || code == ENODEV;
    note_failure(gone ? cause_hung_up : cause_system, code);
}

// A line that takes no data (CTS off) holds a send or a drain without
// limit; the user is told once in the run, and the wait goes on. Standard
// output is flushed first, so that the notice follows the dots shown.
void tell_stalled(const char *name)
{
    static bool told = false;
    if (told) return;
    told = true;
    print_reason_line(name, "the port has taken no data for 5 s: the receiver may not be "
                          "ready (CTS off), or the cable may have no handshake lines; still "
                          "waiting (Ctrl-C ends it)");
}

// Waits until the output queue of fd is empty, polling it, since a drain
// that blocks in the kernel could not tell a stalled line. Returns false
// with the failure noted when the port failed.
bool wait_queue_empty(int fd, const char *name)
{
    int least = -1, still_ms = 0;
    for (;;) {
        int queued = 0;
        // ioctl: 0 on success, -1 on failure.
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
            // A driver that cannot count its queue leaves the wait to tcdrain.
            if (errno == ENOTTY || errno == EINVAL) return true;
            note_port_failure(errno);
            return false;
        }
        if (queued <= 0) return true;
        if (least < 0 || queued < least) {
            least = queued;
            still_ms = 0;
        } else if ((still_ms += queue_poll_ms) >= stall_notice_ms) {
            tell_stalled(name);
        }
        wait_for(-1, 0, queue_poll_ms);
    }
}

// Waits until all output of fd has been sent. Returns false with the
// failure noted, and what is left discarded so that the close does not wait
// for a line that failed, when the port failed or was found hung up.
bool drain(int fd, const char *name)
{
    bool drained = wait_queue_empty(fd, name);
    // tcdrain: 0 on success, -1 on failure; it returns at once when
    // nothing is queued, and makes sure of what the queue count may miss.
    int result = 0;
    if (drained) {
        do result = tcdrain(fd);
        while (result != 0 && errno == EINTR);
        if (result != 0) note_port_failure(errno);
    }
    // A line that went away after the last byte was queued (a USB adapter
    // pulled out, a closed far side) may leave the data unsent while the
    // calls above succeed.
    if (drained && result == 0 && hung_up(fd)) {
        note_failure(cause_hung_up, EIO);
        result = -1;
    }
    drained = drained && result == 0;
    if (!drained) tcflush(fd, TCOFLUSH);
    return drained;
}

}  // namespace

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

bool port_take(int fd, std::int32_t baud_rate, const char *name, endpoint_role role)
{
    hold_port(fd, name);
    kept_settings kept = {0, 0, false};
    // ioctl: 0 on success, -1 on failure.
    if (ioctl(fd, TIOCEXCL) != 0) note_failure(cause_system, errno);
    else if (configure_line(fd, baud_rate, role, &kept)) {
        note_held_port_kept(fd, kept);
        return true;
    }
    release_port(fd);
    return false;
}

std::int32_t port_read(int fd, void *buffer, std::int32_t count)
{
    char *p = static_cast<char *>(buffer);
    std::int32_t got = safe_read(fd, p, count);
    if (got < 0) {
        note_port_failure(errno);
        return -1;
    }
    if (got == 0 && hung_up(fd)) {
        note_failure(cause_hung_up, EIO);
        return -1;
    }
    if (got == 0) return 0;
    note_data_arrived(fd);
    while (got < count && wait_for(fd, POLLIN, gather_pause_ms) != 0) {
        // A failure here is left for the next read to report, so that what
        // has already arrived is not lost.
        const std::int32_t more = safe_read(fd, p + got, count - got);
        if (more <= 0) break;
        got += more;
    }
    return got;
}

std::int32_t port_write(int fd, const void *buffer, std::int32_t count, const char *name)
{
    const char *p = static_cast<const char *>(buffer);
    std::int32_t done = 0;
    while (done < count) {
        done += full_write(fd, p + done, count - done, stall_notice_ms);
        if (done == count) break;
        if (errno == EAGAIN) {
            tell_stalled(name);
            continue;
        }
        if (errno == 0) note_failure(cause_no_progress, 0);
        else note_port_failure(errno);
        return -1;
    }
    return count;
}

bool port_close(int fd, const char *name)
{
    const bool drained = drain(fd, name);
    if (drained) wait_for(-1, 0, held_port_pause_ms(fd));
    const int closed = release_port(fd);
    if (closed != 0 && drained) note_failure(cause_system, errno);
    return drained && closed == 0;
}
