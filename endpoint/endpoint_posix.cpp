// Endpoints over POSIX calls. Disk files are held with an exclusive flock
// (advisory: it keeps out other runs of this tool and programs that lock,
// not every program). Terminal devices are serial ports (serial_posix.cpp).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <initializer_list>

#include "endpoint.h"
#include "endpoint_posix.h"

namespace {

endpoint_failure failure = {cause_system, 0, 0, 0};

// The files and devices that this run holds, to tell a lock refused because
// the other end already holds the same file.
struct held_file {
    dev_t device;
    ino_t inode;
};
held_file held[2];
int held_count = 0;

endpoint_handle note_held(endpoint_handle handle)
{
    struct stat st;
    if (handle >= 0 && held_count < 2 && fstat(static_cast<int>(handle), &st) == 0)
        held[held_count++] = {st.st_dev, st.st_ino};
    return handle;
}

// Notes a file or device found busy: cause_same_file when this run holds
// it already as its other end, else cause_in_use.
void note_busy(const struct stat &st)
{
    bool same = false;
    for (int i = 0; i < held_count; ++i)
        same = same || (held[i].device == st.st_dev && held[i].inode == st.st_ino);
    note_failure(same ? cause_same_file : cause_in_use, EBUSY);
}

int fd_of(endpoint_handle handle)
{
    return static_cast<int>(handle);
}

// The ports that this run holds (at most its two ends), noted at open so
// that reading a disk file costs no system call beyond the read itself, and
// so that a signal can give them up.
volatile std::sig_atomic_t open_ports[2] = {-1, -1};
const char *port_names[2];

bool is_open_port(int fd)
{
    return fd >= 0 && (open_ports[0] == fd || open_ports[1] == fd);
}

// Returns true when fd was a port of this run.
bool forget_port(int fd)
{
    bool was_port = false;
    for (volatile std::sig_atomic_t &p : open_ports) {
        if (p == fd) {
            p = -1;
            was_port = true;
        }
    }
    return was_port;
}

// The signals whose default action ends the process and that a user or a
// system sends to end a run: Ctrl-C, Ctrl-\, kill, a closed terminal,
// timers and limits.
constexpr int ending_signals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGALRM, SIGUSR1,
                                  SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};

sigset_t ending_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ending_signals) sigaddset(&set, sig);
    return set;
}

// An ending signal ends a run that holds a port (a receive waits without
// limit for its first byte, a drain for a line that may never take its
// data). The port is given up at once: unsent output discarded, so the
// close does not wait for that line, and exclusive use cleared, which would
// otherwise outlive this run on a device that stays open elsewhere (a
// pseudo-terminal). Then the signal ends the run with its default action.
// Only async-signal-safe calls.
void give_up_ports(int sig)
{
    const int saved = errno;
    for (volatile std::sig_atomic_t &p : open_ports) {
        const int fd = p;
        if (fd < 0) continue;
        p = -1;
        tcflush(fd, TCOFLUSH);
        ioctl(fd, TIOCNXCL);
        close(fd);
    }
    errno = saved;
    // SA_RESETHAND has restored the default action; SA_NODEFER lets it act now.
    raise(sig);
}

// A signal that whoever started the run ignores (nohup, a background job
// of a script) stays ignored: the run was meant to survive it. While the
// handler gives the ports up, the other ending signals wait.
void catch_ending_signals()
{
    static bool caught = false;
    if (caught) return;
    caught = true;
    for (int sig : ending_signals) {
        struct sigaction now = {};
        // sigaction: 0 on success, -1 on failure.
        if (sigaction(sig, nullptr, &now) != 0 || now.sa_handler == SIG_IGN) continue;
        struct sigaction action = {};
        action.sa_handler = give_up_ports;
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        action.sa_mask = ending_set();
        sigdelset(&action.sa_mask, sig);
        sigaction(sig, &action, nullptr);
    }
}

// Gives up fd, a port of this run that has drained or failed: forgotten
// and closed with the ending signals held back, so that a signal finds it
// either still the run's, to give up, or already closed. Returns what
// close returned, with errno.
int close_port(int fd)
{
    const sigset_t ending = ending_set();
    sigset_t before;
    // sigprocmask: 0 on success, -1 on failure (only for a bad argument).
    sigprocmask(SIG_BLOCK, &ending, &before);
    forget_port(fd);
    ioctl(fd, TIOCNXCL);
    const int closed = close(fd);
    const int saved = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = saved;
    return closed;
}

// Takes fd, an open terminal, as a port of this run. Returns fd, or
// invalid_handle with fd closed and the failure noted.
endpoint_handle take_port(int fd, std::int32_t baud_rate, const char *name, endpoint_role role)
{
    catch_ending_signals();
    const int slot = open_ports[0] < 0 ? 0 : 1;
    port_names[slot] = name;
    open_ports[slot] = fd;
    if (port_setup(fd, baud_rate, role)) return fd;
    forget_port(fd);
    close(fd);
    return invalid_handle;
}

// open: a descriptor, or -1. Retried on EINTR only (a FIFO can block in it).
int open_retrying(const char *name, int flags)
{
    int fd = -1;
    do fd = open(name, flags | O_NOCTTY | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Notes the failure on fd, closes it and returns invalid_handle.
endpoint_handle fail_open(int fd, failure_cause cause, int code)
{
    note_failure(cause, code);
    close(fd);
    return invalid_handle;
}

// True when a destination called name would be made in /dev itself or
// under /dev/serial/, where only the kernel makes device nodes: a regular
// file made there for an adapter that is unplugged would take its place.
bool in_device_directory(const char *name)
{
    char dir[PATH_MAX], resolved[PATH_MAX];
    const char *slash = std::strrchr(name, '/');
    const std::size_t length = slash ? static_cast<std::size_t>(slash - name) : 0;
    if (length >= sizeof dir) return false;
    std::memcpy(dir, name, length);
    dir[length] = '\0';
    const char *parent = !slash ? "." : length == 0 ? "/" : dir;
    // realpath: the resolved path, or null on failure.
    if (!realpath(parent, resolved)) return false;
    return std::strcmp(resolved, "/dev") == 0 || std::strcmp(resolved, "/dev/serial") == 0 ||
           std::strncmp(resolved, "/dev/serial/", 12) == 0;
}

// A disk source is opened for reading only and must exist; a destination is
// created when missing, but never in /dev. A destination is emptied only
// once this run holds its lock, so a file named as both ends, or held by
// another program, is left as it was; only regular files that hold data are
// emptied (not /dev/null, a FIFO).
endpoint_handle disk_open(const char *name, endpoint_role role)
{
    const bool in_dev = in_device_directory(name);
    const int fd = open_retrying(name, role == role_source ? O_RDONLY
                                       : in_dev            ? O_WRONLY
                                                           : O_WRONLY | O_CREAT);
    if (fd < 0) {
        const int code = errno;
        note_failure(code == EISDIR                 ? cause_directory
                     : in_dev && code == ENOENT     ? cause_no_such_port
                                                    : cause_system,
                     code);
        return invalid_handle;
    }
    struct stat st;
    // fstat, flock and ftruncate: 0 on success, -1 on failure.
    if (fstat(fd, &st) != 0) return fail_open(fd, cause_system, errno);
    if (S_ISDIR(st.st_mode)) return fail_open(fd, cause_directory, EISDIR);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        note_lock_refused(fd);
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
        // Another run holds it exclusively (TIOCEXCL): a terminal in use.
        note_busy(st);
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

}  // namespace

void note_failure(failure_cause cause, int code)
{
    failure = {cause, code, 0, 0};
}

void note_rate_refused(std::int32_t asked, std::int32_t actual)
{
    failure = {cause_rate_refused, EINVAL, asked, actual};
}

void note_lock_refused(int fd)
{
    struct stat st;
    if (fstat(fd, &st) == 0) note_busy(st);
    else note_failure(cause_in_use, EBUSY);
}

endpoint_failure last_failure()
{
    return failure;
}

endpoint_handle file_open(const char *name, std::int32_t baud_rate, endpoint_role role)
{
    if (std::strncmp(name, "COM", 3) == 0) {
        char path[32];
        if (!com_device_path(name, path, sizeof path)) {
            note_failure(cause_no_such_port, 0);
            return invalid_handle;
        }
        const int fd = open_retrying(path, O_RDWR | O_NONBLOCK);
        if (fd >= 0) return note_held(take_port(fd, baud_rate, name, role));
        struct stat st;
        if (errno == EBUSY && stat(path, &st) == 0) {
            note_busy(st);
            return invalid_handle;
        }
        const bool missing = errno == ENOENT || errno == ENXIO || errno == ENODEV;
        note_failure(missing ? cause_no_such_port : cause_system, errno);
        return invalid_handle;
    }
    const endpoint_handle port = terminal_open(name, baud_rate, role);
    return note_held(port != nothing_opened ? port : disk_open(name, role));
}

std::int32_t file_read(endpoint_handle handle, void *buffer, std::int32_t count)
{
    const int fd = fd_of(handle);
    return is_open_port(fd) ? port_read(fd, buffer, count) : read_retrying(fd, buffer, count);
}

std::int32_t file_write(endpoint_handle handle, const void *buffer, std::int32_t count)
{
    const char *p = static_cast<const char *>(buffer);
    const int fd = fd_of(handle);
    if (is_open_port(fd)) return port_write(fd, buffer, count, port_names[open_ports[0] == fd ? 0 : 1]);
    std::int32_t done = 0;
    while (done < count) {
        // write: the count written, or -1. Zero bytes written is no progress
        // and would loop for ever, so it fails the write too.
        const ssize_t n = write(fd, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) note_failure(cause_system, errno);
        if (n == 0) note_failure(cause_no_progress, 0);
        if (n <= 0) return -1;
        done += static_cast<std::int32_t>(n);
    }
    return count;
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
    const int slot = open_ports[0] == fd ? 0 : open_ports[1] == fd ? 1 : -1;
    const bool drained = slot < 0 || port_drain(fd, port_names[slot]);
    // close: 0 on success, -1 on failure. Not retried on EINTR: on Linux
    // the descriptor is gone whatever close returns.
    const int closed = slot < 0 ? close(fd) : close_port(fd);
    if (closed != 0 && drained) note_failure(cause_system, errno);
    return drained && closed == 0;
}
