// A stand-in for the parts of a serial line that a pseudo-terminal cannot
// play, preloaded into the tool (LD_PRELOAD):
//   VESKLO_STANDIN_OUTQ_MS=N    the output queue reads 4096 bytes, unmoving,
//                               for N ms from its first query (a line whose
//                               CTS is off), then the real queue;
//   VESKLO_STANDIN_HELD=PATH    the file PATH is made when that hold begins,
//                               so that a test knows the drain is held;
//   VESKLO_STANDIN_DRAIN_ERRNO=E  tcdrain fails with errno E;
//   VESKLO_STANDIN_KEEP=cs8,nocrtscts  the terminal passes for a real port
//                               (fstat reports a serial port's device
//                               number) that keeps 8 data bits and/or runs
//                               without RTS/CTS, whatever it is asked
//                               (KEEP=line: a port that keeps nothing);
//   VESKLO_STANDIN_REFUSE_CS7=1  the terminal refuses 7 data bits, as some
//                               USB adapters do;
//   VESKLO_STANDIN_SET_ONCE=1   the terminal takes its settings once, and
//                               refuses any later change with EIO;
//   VESKLO_STANDIN_RUNS_AT=38400  the terminal takes a standard rate given
//                               by tcsetattr but runs at 38400 (Wine
//                               leaves a port so); the termios2 calls that
//                               put settings back are left alone;
//   VESKLO_STANDIN_PAUSE_MS=N   the first wait for no events after a
//                               drain that succeeded (the pause before
//                               the close) lasts N ms, unless the port it
//                               watches hangs up first.
#include <asm/ioctls.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

long env_number(const char *name)
{
    const char *v = std::getenv(name);
    return v ? std::strtol(v, nullptr, 10) : 0;
}

long long now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// True when VESKLO_STANDIN_KEEP names what.
bool keeps(const char *what)
{
    const char *v = std::getenv("VESKLO_STANDIN_KEEP");
    return v && std::strstr(v, what);
}

// Set once a tcdrain has succeeded: the pause before the close follows.
bool drained = false;

// True while the queue is to read as stalled.
bool queue_stalled()
{
    static long long first = -1;
    const long hold = env_number("VESKLO_STANDIN_OUTQ_MS");
    if (hold <= 0) return false;
    if (first < 0) {
        first = now_ms();
        const char *held = std::getenv("VESKLO_STANDIN_HELD");
        if (held) close(open(held, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
    return now_ms() - first < hold;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (request == TIOCOUTQ && queue_stalled()) {
        *static_cast<int *>(arg) = 4096;
        return 0;
    }
    using ioctl_function = int (*)(int, unsigned long, ...);
    static const auto real = reinterpret_cast<ioctl_function>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

extern "C" int tcdrain(int fd)
{
    const long code = env_number("VESKLO_STANDIN_DRAIN_ERRNO");
    if (code > 0) {
        errno = static_cast<int>(code);
        return -1;
    }
    using tcdrain_function = int (*)(int);
    static const auto real = reinterpret_cast<tcdrain_function>(dlsym(RTLD_NEXT, "tcdrain"));
    const int result = real(fd);
    drained = drained || result == 0;
    return result;
}

extern "C" int tcgetattr(int fd, termios *t)
{
    using tcgetattr_function = int (*)(int, termios *);
    static const auto real = reinterpret_cast<tcgetattr_function>(dlsym(RTLD_NEXT, "tcgetattr"));
    const int result = real(fd, t);
    if (result == 0 && keeps("cs8")) t->c_cflag = (t->c_cflag & ~CSIZE) | CS8;
    if (result == 0 && keeps("nocrtscts")) t->c_cflag &= ~CRTSCTS;
    return result;
}

extern "C" int fstat(int fd, struct stat *st)
{
    using fstat_function = int (*)(int, struct stat *);
    static const auto real = reinterpret_cast<fstat_function>(dlsym(RTLD_NEXT, "fstat"));
    const int result = real(fd, st);
    // A pseudo-terminal's slave (majors 136-143) passes for /dev/ttyS0.
    const unsigned major_number = major(st->st_rdev);
    if (result == 0 && std::getenv("VESKLO_STANDIN_KEEP") && S_ISCHR(st->st_mode) &&
        major_number >= 136 && major_number < 144)
        st->st_rdev = makedev(4, 64);
    return result;
}

extern "C" int tcsetattr(int fd, int action, const termios *t)
{
    if (std::getenv("VESKLO_STANDIN_REFUSE_CS7") && (t->c_cflag & CSIZE) == CS7) {
        errno = EINVAL;
        return -1;
    }
    using tcsetattr_function = int (*)(int, int, const termios *);
    static const auto real = reinterpret_cast<tcsetattr_function>(dlsym(RTLD_NEXT, "tcsetattr"));
    static bool set_once = false;
    if (std::getenv("VESKLO_STANDIN_SET_ONCE") && set_once) {
        errno = EIO;
        return -1;
    }
    set_once = true;
    if (env_number("VESKLO_STANDIN_RUNS_AT") != 38400) return real(fd, action, t);
    termios running = *t;
    cfsetspeed(&running, B38400);
    return real(fd, action, &running);
}

extern "C" int poll(pollfd *fds, nfds_t count, int timeout)
{
    const long hold = env_number("VESKLO_STANDIN_PAUSE_MS");
    if (hold > 0 && drained && count == 1 && fds[0].events == 0 && timeout >= 0) {
        timeout = static_cast<int>(hold);
        drained = false;
    }
    using poll_function = int (*)(pollfd *, nfds_t, int);
    static const auto real = reinterpret_cast<poll_function>(dlsym(RTLD_NEXT, "poll"));
    return real(fds, count, timeout);
}
