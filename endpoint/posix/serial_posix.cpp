#include "serial_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "com_name.h"
#include "failure_record.h"
#include "held_ends_posix.h"
#include "line_settings_posix.h"
#include "port_policy.h"
#include "system_posix.h"
#include "reason_text.h"
#include "retry_posix.h"

namespace {

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
// that blocks in the kernel could not tell a stalled line: one that has
// not shrunk for stall_ms is told. Returns false with the failure noted
// when the port failed.
bool wait_queue_empty(int fd, const char *name, int stall_ms)
{
    int least = -1, still_ms = 0;
    for (;;) {
        int queued = 0;
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
        } else if ((still_ms += progress_check_ms) >= stall_ms) {
            tell_stalled(name);
        }
        wait_for(-1, 0, progress_check_ms);
    }
}

// Waits until all output of fd has been sent, telling a queue that has not
// shrunk for stall_ms. Returns false with the failure noted, and what is
// left discarded so that the close does not wait for a line that failed,
// when the port failed or was found hung up.
bool drain(int fd, const char *name, int stall_ms)
{
    bool drained = wait_queue_empty(fd, name, stall_ms);
    // tcdrain returns at once when nothing is queued, and makes sure of
    // what the queue count may miss.
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

// Pauses pause_ms after a drain, for the last bytes to leave the device's
// own buffer before the close drops the modem lines, watching the port for
// a hang-up all the while and once more at the end: a USB device that goes
// away empties its driver's queue before the hang-up comes (cdc-acm counts
// nothing queued from the moment it is disconnected, and hangs up only
// once it has killed its transfers; failed writes free the queue before
// the hub's queued work has noticed the unplug). Returns false with the
// hang-up noted when one came.
bool pause_watching(int fd, int pause_ms)
{
    // poll asked for no events wakes only on a hang-up or an error, which
    // it reports whether asked or not.
    const short seen = wait_for(fd, 0, pause_ms);
    if ((seen & (POLLHUP | POLLERR | POLLNVAL)) == 0 && !hung_up(fd)) return true;
    note_failure(cause_hung_up, EIO);
    return false;
}

// How long the port may take nothing before it is told stalled: the
// stall notice's time beyond what its chip's buffer takes at the line rate,
// so that a line that is merely slow is never taken for one that stopped.
int stall_after_ms(const endpoint *port)
{
    return stall_notice_ms + uart_buffer_ms(port->uart, port->rate);
}

}  // namespace

bool com_device_path(const char *name, char *path, std::size_t size)
{
    com_name com;
    if (!parse_com_name(name, std::strlen(name), &com) || !com.upper_case || com.colon ||
        com.leading_zero || com.digits > 6)
        return false;
    const int written = std::snprintf(path, size, "/dev/ttyS%ld", com.number - 1);
    return written > 0 && static_cast<std::size_t>(written) < size;
}

endpoint com_open(const char *name, std::int32_t baud_rate, endpoint_role role,
                  const endpoint *other)
{
    endpoint failed = {invalid_handle, name, false};
    char path[32];
    if (!com_device_path(name, path, sizeof path)) {
        note_failure(cause_no_such_port, 0);
        return failed;
    }
    const int fd = open_retrying(path, O_RDWR | O_NONBLOCK);
    if (fd >= 0) return port_take(fd, name, baud_rate, role, other);
    const int code = errno;
    struct stat st;
    if (code == EBUSY && stat(path, &st) == 0) note_exclusive(st, other);
    else if (code == ENOENT || code == ENXIO || code == ENODEV) note_failure(cause_no_such_port, code);
    else note_open_refused(path, code);
    return failed;
}

endpoint port_take(endpoint_handle handle, const char *name, std::int32_t baud_rate,
                   endpoint_role role, const endpoint *other)
{
    const int fd = static_cast<int>(handle);
    endpoint port = {handle, name, true};
    // Root opens a terminal in exclusive use, which only this run's own
    // TIOCEXCL may have set: another's flag means another holder, whose
    // line and flag stay as they are.
    struct stat st;
    const bool held_elsewhere = terminal_exclusive(fd) && fstat(fd, &st) == 0;
    if (held_elsewhere) note_exclusive(st, other);
    if (held_elsewhere || !usable_rate(fd, baud_rate) || !lock_end(fd, other)) {
        close(fd);
        port.handle = invalid_handle;
        return port;
    }
    hold_port(fd);
    if (ioctl(fd, TIOCEXCL) != 0) note_failure(cause_system, errno);
    else if (configure_line(fd, baud_rate, role, &port)) return port;
    release_port(fd);
    port.handle = invalid_handle;
    return port;
}

std::int32_t port_read(endpoint *port, void *buffer, std::int32_t count)
{
    const int fd = static_cast<int>(port->handle);
    // The first read waits for data without limit; once data has come,
    // silence ends the input. What the wait sees (data, or a hang-up) is
    // left for the read to meet.
    if (port->data_arrived && wait_for(fd, POLLIN, quiet_end_ms) == 0) return 0;
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
    port->data_arrived = true;
    while (got < count && wait_for(fd, POLLIN, gather_pause_ms) != 0) {
        // A failure here is left for the next read to report, so that what
        // has already arrived is not lost.
        const std::int32_t more = safe_read(fd, p + got, count - got);
        if (more <= 0) break;
        got += more;
    }
    return got;
}

std::int32_t port_write(endpoint *port, const void *buffer, std::int32_t count)
{
    const int fd = static_cast<int>(port->handle);
    const char *p = static_cast<const char *>(buffer);
    std::int32_t done = 0;
    while (done < count) {
        const write_outcome w = full_write(fd, p + done, count - done, stall_after_ms(port));
        done += w.written;
        port->sent += w.written;
        if (w.end == write_complete) break;
        if (w.end == write_no_room) {
            tell_stalled(port->name);
            continue;
        }
        if (w.end == write_took_nothing) note_failure(cause_no_progress, 0);
        else note_port_failure(errno);
        return -1;
    }
    return count;
}

bool port_close(const endpoint *port)
{
    const int fd = static_cast<int>(port->handle);
    bool drained = drain(fd, port->name, stall_after_ms(port));
    // A pseudo-terminal has no line: once written, every byte has reached
    // the far side, and its going away after reading them takes none back.
    if (!drained && port->no_line && last_failure().cause == cause_hung_up) drained = true;
    const int pause_ms = port->no_line ? 0 : uart_close_pause_ms(port->uart, port->rate, port->sent);
    if (drained && pause_ms > 0) drained = pause_watching(fd, pause_ms);
    const int closed = release_port(fd);
    if (closed != 0 && drained) note_failure(cause_system, errno);
    return drained && closed == 0;
}
