#include "serial_posix.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstdio>

#include "failure_record.h"
#include "held_ends_posix.h"
#include "line_settings_posix.h"
#include "reason_text.h"
#include "retry_posix.h"

namespace {

// The silence that ends a receive once data has come, the pause between
// bytes that ends one read, the time without progress after which a stall
// is told, and how often the output queue is looked at, in milliseconds.
constexpr int quiet_end_ms = 2000;
constexpr int gather_pause_ms = 50;
constexpr int stall_notice_ms = 5000;
constexpr int queue_poll_ms = 100;

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

// Pauses after a drain, for the last bytes to leave the device's own
// buffer before the close drops the modem lines (held_port_pause_ms),
// watching the port for a hang-up all the while and once more at the end:
// a USB device that goes away
// empties its driver's queue before the hang-up comes (cdc-acm counts
// nothing queued from the moment it is disconnected, and hangs up only
// once it has killed its transfers; failed writes free the queue before
// the hub's queued work has noticed the unplug). Returns false with the
// hang-up noted when one came.
bool pause_watching(int fd)
{
    // poll asked for no events wakes only on a hang-up or an error, which
    // it reports whether asked or not.
    const short seen = wait_for(fd, 0, held_port_pause_ms(fd));
    if ((seen & (POLLHUP | POLLERR | POLLNVAL)) == 0 && !hung_up(fd)) return true;
    note_failure(cause_hung_up, EIO);
    return false;
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
    hold_end(fd, name);
    kept_settings kept = {0, 0, false};
    // ioctl: 0 on success, -1 on failure.
    if (ioctl(fd, TIOCEXCL) != 0) note_failure(cause_system, errno);
    else if (configure_line(fd, baud_rate, role, &kept)) {
        note_held_port_kept(fd, kept);
        return true;
    }
    release_end(fd);
    return false;
}

std::int32_t port_read(int fd, void *buffer, std::int32_t count)
{
    // The first read waits for data without limit; once data has come,
    // silence ends the input. What the wait sees (data, or a hang-up) is
    // left for the read to meet.
    if (data_has_arrived(fd) && wait_for(fd, POLLIN, quiet_end_ms) == 0) return 0;
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
        const write_outcome w = full_write(fd, p + done, count - done, stall_notice_ms);
        done += w.written;
        if (w.end == write_complete) break;
        if (w.end == write_no_room) {
            tell_stalled(name);
            continue;
        }
        if (w.end == write_took_nothing) note_failure(cause_no_progress, 0);
        else note_port_failure(errno);
        return -1;
    }
    return count;
}

bool port_close(int fd, const char *name)
{
    const bool drained = drain(fd, name) && pause_watching(fd);
    const int closed = release_end(fd);
    if (closed != 0 && drained) note_failure(cause_system, errno);
    return drained && closed == 0;
}
