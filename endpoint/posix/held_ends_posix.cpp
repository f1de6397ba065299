#include "held_ends_posix.h"

#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "failure_record.h"
#include "system_posix.h"

namespace {

// The ports' descriptors, where the signal handler may read them: the one
// record of the run that outlives the calls that made it. A port that is
// the run's own controlling terminal (c prog.bin /dev/tty) is the user's
// console: its settings as found are put back when the run lets it go,
// however the run ends. Each slot's settings are written before its
// descriptor, which the handler reads first.
volatile std::sig_atomic_t port_fds[2] = {-1, -1};
volatile std::sig_atomic_t gives_back[2] = {0, 0};
saved_line found_settings[2];

// Puts back the settings of the port in slot where they are the user's.
void give_back_settings(int slot, int fd)
{
    if (gives_back[slot]) restore_line(fd, found_settings[slot]);
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
    for (int slot = 0; slot < 2; ++slot) {
        const int fd = port_fds[slot];
        if (fd < 0) continue;
        port_fds[slot] = -1;
        tcflush(fd, TCOFLUSH);
        give_back_settings(slot, fd);
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
        if (sigaction(sig, nullptr, &now) != 0 || now.sa_handler == SIG_IGN) continue;
        struct sigaction action = {};
        action.sa_handler = give_up_ports;
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        action.sa_mask = ending_set();
        sigdelset(&action.sa_mask, sig);
        sigaction(sig, &action, nullptr);
    }
}

}  // namespace

bool is_other_end(const struct stat &st, const endpoint *other)
{
    struct stat at;
    return other && other->handle != invalid_handle &&
           fstat(static_cast<int>(other->handle), &at) == 0 && at.st_dev == st.st_dev &&
           at.st_ino == st.st_ino;
}

bool lock_end(int fd, const endpoint *other)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    struct stat st;
    const bool same = fstat(fd, &st) == 0 && is_other_end(st, other);
    note_failure(same ? cause_same_file : cause_in_use, EBUSY);
    return false;
}

void note_exclusive(const struct stat &st, const endpoint *other)
{
    if (is_other_end(st, other)) note_failure(cause_same_file, EBUSY);
    else note_failure(flock_held(st) ? cause_in_use : cause_left_exclusive, EBUSY);
}

void note_open_refused(const char *path, int code)
{
    struct stat st;
    if ((code != EACCES && code != EPERM) || stat(path, &st) != 0 || !S_ISCHR(st.st_mode)) {
        note_failure(cause_system, code);
        return;
    }
    const bool lacks_read = access(path, R_OK) != 0, lacks_write = access(path, W_OK) != 0;
    // Joining the group helps only where the group has what is missing.
    const mode_t needed = (lacks_read ? S_IRGRP : 0) | (lacks_write ? S_IWGRP : 0);
    const group *g = st.st_gid != 0 && (st.st_mode & needed) == needed ? getgrgid(st.st_gid)
                                                                         : nullptr;
    note_access_refused(code, lacks_read, lacks_write, g ? g->gr_name : nullptr);
}

void hold_port(int fd)
{
    catch_ending_signals();
    const int slot = port_fds[0] < 0 ? 0 : 1;
    // tcgetsid answers only for the caller's controlling terminal.
    gives_back[slot] = tcgetsid(fd) != -1 && save_line(fd, &found_settings[slot]);
    port_fds[slot] = fd;
}

int release_port(int fd)
{
    const sigset_t ending = ending_set();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &ending, &before);
    for (int slot = 0; slot < 2; ++slot) {
        if (port_fds[slot] != fd) continue;
        port_fds[slot] = -1;
        give_back_settings(slot, fd);
    }
    ioctl(fd, TIOCNXCL);
    // Not retried on EINTR: on Linux the descriptor is gone whatever close
    // returns.
    const int closed = close(fd);
    const int saved = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = saved;
    return closed;
}
