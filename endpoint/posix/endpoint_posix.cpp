// Endpoints over POSIX calls. Disk files and ports are held with an
// exclusive flock (advisory: it keeps out other runs of this tool and
// programs that lock, not every program). Terminal devices are serial ports
// (serial_posix.cpp).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "endpoint.h"
#include "device_dir_posix.h"
#include "failure_record.h"
#include "held_ends_posix.h"
#include "system_posix.h"
#include "line_settings_posix.h"
#include "retry_posix.h"
#include "serial_posix.h"

namespace {

// Notes a file or device found busy: cause_same_file when this run holds
// it already as its other end, else cause_in_use.
void note_busy(const struct stat &st)
{
    note_failure(held_by_run(st) ? cause_same_file : cause_in_use, EBUSY);
}

// Notes a terminal whose open was refused (exclusive use, which only root
// opens past): this run's other end, another run (its lock is there), or,
// with no lock on it, another program or a port that a run which lost its
// line left exclusive (after a hang-up the kernel keeps it so until every
// program holding the port has closed it).
void note_exclusive(const struct stat &st)
{
    if (held_by_run(st)) note_failure(cause_same_file, EBUSY);
    else note_failure(flock_held(st) ? cause_in_use : cause_left_exclusive, EBUSY);
}

// Takes fd's exclusive lock. Returns false with the refusal noted (fd left
// open) when another holds it, this run's other end included.
bool lock(int fd)
{
    // flock and fstat: 0 on success, -1 on failure.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    struct stat st;
    if (fstat(fd, &st) == 0) note_busy(st);
    else note_failure(cause_in_use, EBUSY);
    return false;
}

int fd_of(endpoint_handle handle)
{
    return static_cast<int>(handle);
}

// Notes the failure on fd, closes it and returns invalid_handle.
endpoint_handle fail_open(int fd, failure_cause cause, int code)
{
    note_failure(cause, code);
    close(fd);
    return invalid_handle;
}

// Takes fd, an open terminal called name, as a port of this run. Returns
// fd, or invalid_handle with fd closed and the failure noted.
endpoint_handle take_port(int fd, std::int32_t baud_rate, const char *name, endpoint_role role)
{
    if (!usable_rate(fd, baud_rate) || !lock(fd)) {
        close(fd);
        return invalid_handle;
    }
    return port_take(fd, baud_rate, name, role) ? fd : invalid_handle;
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
    note_failure(error == EISDIR ? cause_directory : device_dir ? cause_no_such_port : cause_system,
                 error);
}

// A disk source is opened for reading only and must exist; a destination is
// created when missing (create_destination). A destination is emptied only
// once this run holds its lock, so a file named as both ends, or held by
// another program, is left as it was; only regular files that hold data are
// emptied (not /dev/null, a FIFO).
endpoint_handle disk_open(const char *name, endpoint_role role)
{
    const bool source = role == role_source;
    int fd = open_retrying(name, source ? O_RDONLY : O_WRONLY);
    if (fd < 0 && errno == ENOENT && !source) {
        fd = create_destination(name);
        if (fd < 0) return invalid_handle;
    } else if (fd < 0) {
        note_open_failure(name, errno);
        return invalid_handle;
    }
    struct stat st;
    // fstat and ftruncate: 0 on success, -1 on failure.
    if (fstat(fd, &st) != 0) return fail_open(fd, cause_system, errno);
    if (S_ISDIR(st.st_mode)) return fail_open(fd, cause_directory, EISDIR);
    if (!lock(fd)) {
        close(fd);
        return invalid_handle;
    }
    // Truncating an empty file is not free: on ext4 it marks the file for
    // a flush at close, which costs a new destination tens of milliseconds.
    if (role == role_destination && S_ISREG(st.st_mode) && st.st_size > 0 && ftruncate(fd, 0) != 0)
        return fail_open(fd, cause_system, errno);
    return fd;
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

// A path to a character device that is a terminal is a serial port: opened
// read-write and non-blocking (no wait for carrier), then configured. A
// terminal is a port or nothing: opened as a file it would be line-edited
// and echo, so one that refuses read-write access fails here.
// Returns the port, invalid_handle when it is a port that failed, or
// nothing_opened when the path is no terminal and opens as a disk file.
constexpr endpoint_handle nothing_opened = -2;

endpoint_handle terminal_open(const char *name, std::int32_t baud_rate, endpoint_role role)
{
    struct stat st;
    if (stat(name, &st) != 0 || !S_ISCHR(st.st_mode)) return nothing_opened;
    const int fd = open_retrying(name, O_RDWR | O_NONBLOCK);
    if (fd < 0 && errno == EBUSY) {
        note_exclusive(st);
        return invalid_handle;
    }
    if (fd < 0) {
        const int saved = errno;
        if (!one_way_terminal(name)) return nothing_opened;
        note_failure(cause_system, saved);
        return invalid_handle;
    }
    if (isatty(fd) != 1) {
        close(fd);
        return nothing_opened;
    }
    return take_port(fd, baud_rate, name, role);
}

// COMn is /dev/ttyS(n-1); any other COM name names no port.
endpoint_handle com_open(const char *name, std::int32_t baud_rate, endpoint_role role)
{
    char path[32];
    if (!com_device_path(name, path, sizeof path)) {
        note_failure(cause_no_such_port, 0);
        return invalid_handle;
    }
    const int fd = open_retrying(path, O_RDWR | O_NONBLOCK);
    if (fd >= 0) return take_port(fd, baud_rate, name, role);
    const int code = errno;
    struct stat st;
    if (code == EBUSY && stat(path, &st) == 0) {
        note_exclusive(st);
        return invalid_handle;
    }
    const bool missing = code == ENOENT || code == ENXIO || code == ENODEV;
    note_failure(missing ? cause_no_such_port : cause_system, code);
    return invalid_handle;
}

}  // namespace

endpoint_handle file_open(const char *name, std::int32_t baud_rate, endpoint_role role)
{
    if (std::strncmp(name, "COM", 3) == 0) return com_open(name, baud_rate, role);
    const endpoint_handle port = terminal_open(name, baud_rate, role);
    if (port != nothing_opened) return port;
    const endpoint_handle file = disk_open(name, role);
    if (file != invalid_handle) hold_end(fd_of(file), nullptr);
    return file;
}

std::int32_t file_read(endpoint_handle handle, void *buffer, std::int32_t count)
{
    const int fd = fd_of(handle);
    if (held_port_name(fd)) return port_read(fd, buffer, count);
    const std::int32_t got = safe_read(fd, buffer, count);
    if (got < 0) note_failure(cause_system, errno);
    return got;
}

std::int32_t file_write(endpoint_handle handle, const void *buffer, std::int32_t count)
{
    const int fd = fd_of(handle);
    if (const char *name = held_port_name(fd)) return port_write(fd, buffer, count, name);
    const write_outcome w = full_write(fd, buffer, count, -1);
    if (w.end == write_complete) return count;
    if (w.end == write_took_nothing) note_failure(cause_no_progress, 0);
    else note_failure(cause_system, errno);
    return -1;
}

bool file_is_port(endpoint_handle handle)
{
    return held_port_name(fd_of(handle)) != nullptr;
}

kept_settings file_kept_settings(endpoint_handle handle)
{
    return held_port_kept(fd_of(handle));
}

std::int32_t file_size(endpoint_handle handle)
{
    struct stat st;
    if (fstat(fd_of(handle), &st) != 0) return -1;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(st.st_size));
}

bool file_close(endpoint_handle handle)
{
    const int fd = fd_of(handle);
    if (const char *name = held_port_name(fd)) return port_close(fd, name);
    if (release_end(fd) == 0) return true;
    note_failure(cause_system, errno);
    return false;
}
