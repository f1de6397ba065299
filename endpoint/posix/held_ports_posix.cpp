#include "held_ports_posix.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// Noted at open, so that reading a disk file costs no system call beyond
// the read itself, and so that a signal handler can reach them.
volatile std::sig_atomic_t held_ports[2] = {-1, -1};
const char *held_names[2];
kept_settings held_kept[2];
int held_pause_ms[2] = {100, 100};

// The slot of the port fd, or -1 when fd is no port of this run.
int slot_of(int fd)
{
    if (fd < 0) return -1;
    return held_ports[0] == fd ? 0 : held_ports[1] == fd ? 1 : -1;
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
    for (volatile std::sig_atomic_t &p : held_ports) {
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

void hold_port(int fd, const char *name)
{
    catch_ending_signals();
    const int slot = held_ports[0] < 0 ? 0 : 1;
    held_names[slot] = name;
    held_kept[slot] = {0, 0, false};
    held_pause_ms[slot] = 100;
    held_ports[slot] = fd;
}

const char *held_port_name(int fd)
{
    const int slot = slot_of(fd);
    return slot >= 0 ? held_names[slot] : nullptr;
}

void note_held_port_kept(int fd, const kept_settings &kept)
{
    const int slot = slot_of(fd);
    if (slot >= 0) held_kept[slot] = kept;
}

kept_settings held_port_kept(int fd)
{
    const int slot = slot_of(fd);
    return slot >= 0 ? held_kept[slot] : kept_settings{0, 0, false};
}

void note_held_port_pause(int fd, int pause_ms)
{
    const int slot = slot_of(fd);
    if (slot >= 0) held_pause_ms[slot] = pause_ms;
}

int held_port_pause_ms(int fd)
{
    const int slot = slot_of(fd);
    return slot >= 0 ? held_pause_ms[slot] : 100;
}

int release_port(int fd)
{
    const sigset_t ending = ending_set();
    sigset_t before;
    // sigprocmask: 0 on success, -1 on failure (only for a bad argument).
    sigprocmask(SIG_BLOCK, &ending, &before);
    for (volatile std::sig_atomic_t &p : held_ports)
        if (p == fd) p = -1;
    ioctl(fd, TIOCNXCL);
    // close: 0 on success, -1 on failure. Not retried on EINTR: on Linux
    // the descriptor is gone whatever close returns.
    const int closed = close(fd);
    const int saved = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = saved;
    return closed;
}
