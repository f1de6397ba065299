#include "held_ends_posix.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// One end of the run. Noted at open, so that reading a disk file costs no
// system call beyond the read itself.
struct held_end {
    int fd;             // -1: the slot is free
    dev_t device;       // the file or device it opened, to tell the
    ino_t inode;        // same file named as both ends
    const char *port;   // the port's name; null for a disk file
    kept_settings kept;
    bool data_arrived;
    int pause_ms;       // how long its close pauses after the drain
};

constexpr int usual_pause_ms = 100;

held_end ends[2] = {{-1, 0, 0, nullptr, {0, 0, false}, false, usual_pause_ms},
                    {-1, 0, 0, nullptr, {0, 0, false}, false, usual_pause_ms}};

// The ports' descriptors again, where the signal handler may read them.
volatile std::sig_atomic_t port_fds[2] = {-1, -1};

// The slot of fd, or -1 when fd is no end of this run.
int slot_of(int fd)
{
    if (fd < 0) return -1;
    return ends[0].fd == fd ? 0 : ends[1].fd == fd ? 1 : -1;
}

held_end *port_of(int fd)
{
    const int slot = slot_of(fd);
    return slot >= 0 && ends[slot].port ? &ends[slot] : nullptr;
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
    for (volatile std::sig_atomic_t &p : port_fds) {
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

}  // namespace

void hold_end(int fd, const char *port_name)
{
    const int slot = ends[0].fd < 0 ? 0 : 1;
    struct stat st;
    // fstat: 0 on success, -1 on failure; an end whose identity cannot be
    // had is held all the same, only not found as the other end.
    const bool known = fstat(fd, &st) == 0;
    ends[slot] = {fd, known ? st.st_dev : 0, known ? st.st_ino : 0, port_name, {0, 0, false},
                  false, usual_pause_ms};
    if (!port_name) return;
    catch_ending_signals();
    port_fds[slot] = fd;
}

bool held_by_run(const struct stat &st)
{
    for (const held_end &e : ends)
        if (e.fd >= 0 && e.device == st.st_dev && e.inode == st.st_ino) return true;
    return false;
}

const char *held_port_name(int fd)
{
    const held_end *e = port_of(fd);
    return e ? e->port : nullptr;
}

void note_held_port_kept(int fd, const kept_settings &kept)
{
    if (held_end *e = port_of(fd)) e->kept = kept;
}

kept_settings held_port_kept(int fd)
{
    const held_end *e = port_of(fd);
    return e ? e->kept : kept_settings{0, 0, false};
}

void note_held_port_pause(int fd, int pause_ms)
{
    if (held_end *e = port_of(fd)) e->pause_ms = pause_ms;
}

int held_port_pause_ms(int fd)
{
    const held_end *e = port_of(fd);
    return e ? e->pause_ms : usual_pause_ms;
}

void note_data_arrived(int fd)
{
    if (held_end *e = port_of(fd)) e->data_arrived = true;
}

bool data_has_arrived(int fd)
{
    const held_end *e = port_of(fd);
    return e && e->data_arrived;
}

int release_end(int fd)
{
    const int slot = slot_of(fd);
    const bool port = slot >= 0 && ends[slot].port;
    const sigset_t ending = ending_set();
    sigset_t before;
    // sigprocmask: 0 on success, -1 on failure (only for a bad argument).
    if (port) sigprocmask(SIG_BLOCK, &ending, &before);
    if (slot >= 0) {
        ends[slot].fd = -1;
        port_fds[slot] = -1;
    }
    if (port) ioctl(fd, TIOCNXCL);
    // close: 0 on success, -1 on failure. Not retried on EINTR: on Linux
    // the descriptor is gone whatever close returns.
    const int closed = close(fd);
    const int saved = errno;
    if (port) sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = saved;
    return closed;
}
