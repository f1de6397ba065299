// Endpoints over POSIX calls. Regular files and ports are held with an
// exclusive flock (advisory: it keeps out other runs of this tool and
// programs that lock, not every program). Terminal devices are serial ports
// (serial_posix.cpp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <initializer_list>

#include "endpoint.h"
#include "device_dir_posix.h"
#include "failure_record.h"
#include "held_ends_posix.h"
#include "system_posix.h"
#include "retry_posix.h"
#include "serial_posix.h"

namespace {

int fd_of(const endpoint *end)
{
    return static_cast<int>(end->handle);
}

// An end that failed to open, the failure already noted.
endpoint failed_end(const char *name)
{
    return {invalid_handle, name, false};
}

// Notes the failure on fd, closes it and returns the failed end.
endpoint fail_open(int fd, const char *name, failure_cause cause, int code)
{
    note_failure(cause, code);
    close(fd);
    return failed_end(name);
}

// Opens a missing destination called name: made where the open would make
// it, but never in /dev itself or under /dev/serial/. The place is judged
// once and the file made there without following a link, so that nothing
// can lead the open elsewhere in between. Returns the descriptor, or -1
// with the failure noted.
int create_destination(const char *name)
{
    char leaf[PATH_MAX];
    bool device_dir = false;
    const int dir = creation_place(name, leaf, sizeof leaf, &device_dir);
    if (dir >= 0 && device_dir) {
        close(dir);
        errno = ENOENT;
    }
    int fd = -1;
    if (dir >= 0 && !device_dir) {
        do fd = openat(dir, leaf, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
        while (fd < 0 && errno == EINTR);
        const int code = errno;
        close(dir);
        errno = code;
    }
    if (fd < 0) note_failure(device_dir ? cause_no_such_port : cause_system, errno);
    return fd;
}

// Notes why the existing file called name could not be opened, with
// error: for a file missing from /dev or /dev/serial/, where USB adapters
// appear.
void note_open_failure(const char *name, int error)
{
    char leaf[PATH_MAX];
    bool device_dir = false;
    if (error == ENOENT) {
        const int dir = creation_place(name, leaf, sizeof leaf, &device_dir);
        if (dir >= 0) close(dir);
    }
    if (error == EISDIR) note_failure(cause_directory, error);
    else if (device_dir) note_failure(cause_no_such_port, error);
    else note_open_refused(name, error);
}

// A disk source is opened for reading only and must exist; a destination is
// created when missing (create_destination). A destination is emptied only
// once this run holds its lock, so a file named as both ends, or held by
// another program, is left as it was; only regular files that hold data are
// emptied (not /dev/null, a FIFO).
endpoint disk_open(const char *name, endpoint_role role, const endpoint *other)
{
    const bool source = role == role_source;
    int fd = open_retrying(name, source ? O_RDONLY : O_WRONLY);
    if (fd < 0 && errno == ENOENT && !source) {
        fd = create_destination(name);
        if (fd < 0) return failed_end(name);
    } else if (fd < 0) {
        note_open_failure(name, errno);
        return failed_end(name);
    }
    struct stat st;
    if (fstat(fd, &st) != 0) return fail_open(fd, name, cause_system, errno);
    if (S_ISDIR(st.st_mode)) return fail_open(fd, name, cause_directory, EISDIR);
    // Only regular files are locked: a lock on /dev/null or a FIFO would
    // keep out every other program that uses them, and guards no data.
    if (!S_ISREG(st.st_mode) && is_other_end(st, other))
        return fail_open(fd, name, cause_same_file, EBUSY);
    if (S_ISREG(st.st_mode) && !lock_end(fd, other)) {
        close(fd);
        return failed_end(name);
    }
    // Truncating an empty file is not free: on ext4 it marks the file for
    // a flush at close, which costs a new destination tens of milliseconds.
    if (role == role_destination && S_ISREG(st.st_mode) && st.st_size > 0 && ftruncate(fd, 0) != 0)
        return fail_open(fd, name, cause_system, errno);
    return {fd, name, false};
}

// True when name opens one way (for reading or for writing only) as a
// terminal.
bool one_way_terminal(const char *name)
{
    for (int flags : {O_RDONLY | O_NONBLOCK, O_WRONLY | O_NONBLOCK}) {
        const int fd = open_retrying(name, flags);
        if (fd < 0) continue;
        const bool terminal = isatty(fd) == 1;
        close(fd);
        return terminal;
    }
    return false;
}

// What terminal_open found: a port (open or failed), or no terminal at all.
enum terminal_found { terminal_none, terminal_port };

// A path to a character device that is a terminal is a serial port: opened
// read-write and non-blocking (no wait for carrier), then configured. A
// terminal is a port or nothing: opened as a file it would be line-edited
// and echo, so one that refuses read-write access fails here. Returns
// terminal_none, *port untouched, when the path is no terminal and opens
// as a disk file; else terminal_port with *port the port or a failed end.
terminal_found terminal_open(const char *name, std::int32_t baud_rate, endpoint_role role,
                             const endpoint *other, endpoint *port)
{
    struct stat st;
    if (stat(name, &st) != 0 || !S_ISCHR(st.st_mode)) return terminal_none;
    const int fd = open_retrying(name, O_RDWR | O_NONBLOCK);
    if (fd < 0 && errno == EBUSY) {
        note_exclusive(st, other);
        *port = failed_end(name);
        return terminal_port;
    }
    if (fd < 0) {
        const int saved = errno;
        if (!one_way_terminal(name)) return terminal_none;
        note_open_refused(name, saved);
        *port = failed_end(name);
        return terminal_port;
    }
    if (isatty(fd) != 1) {
        close(fd);
        return terminal_none;
    }
    *port = port_take(fd, name, baud_rate, role, other);
    return terminal_port;
}

}  // namespace

endpoint file_open(const char *name, std::int32_t baud_rate, endpoint_role role,
                   const endpoint *other)
{
    if (std::strncmp(name, "COM", 3) == 0) return com_open(name, baud_rate, role, other);
    endpoint port;
    if (terminal_open(name, baud_rate, role, other, &port) == terminal_port) return port;
    return disk_open(name, role, other);
}

std::int32_t file_read(endpoint *end, void *buffer, std::int32_t count)
{
    if (end->port) return port_read(end, buffer, count);
    const std::int32_t got = safe_read(fd_of(end), buffer, count);
    if (got < 0) note_failure(cause_system, errno);
    return got;
}

std::int32_t file_write(endpoint *end, const void *buffer, std::int32_t count)
{
    if (end->port) return port_write(end, buffer, count);
    const write_outcome w = full_write(fd_of(end), buffer, count, -1);
    end->sent += w.written;
    if (w.end == write_complete) return count;
    if (w.end == write_took_nothing) note_failure(cause_no_progress, 0);
    else note_failure(cause_system, errno);
    return -1;
}

std::int32_t file_size(const endpoint *end)
{
    struct stat st;
    if (fstat(fd_of(end), &st) != 0) return -1;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(st.st_size));
}

bool file_close(const endpoint *end)
{
    if (end->port) return port_close(end);
    // Not retried on EINTR: on Linux the descriptor is gone whatever close
    // returns.
    if (close(fd_of(end)) == 0) return true;
    note_failure(cause_system, errno);
    return false;
}
