// A stand-in for the parts of a serial line that a pseudo-terminal cannot
// play, preloaded into the tool (LD_PRELOAD):
//   VESKLO_STANDIN_OUTQ_MS=N    the output queue reads 4096 bytes, unmoving,
//                               for N ms from its first query (a line whose
//                               CTS is off), then the real queue;
//   VESKLO_STANDIN_DRAIN_ERRNO=E  tcdrain fails with errno E.
#include <asm/ioctls.h>
#include <dlfcn.h>
#include <termios.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <ctime>

namespace {

long env_number(const char *name)
{
    const char *v = std::getenv(name);
    return v ? std::strtol(v, nullptr, 10) : 0;
}

long now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// True while the queue is to read as stalled.
bool queue_stalled()
{
    static long first = -1;
    const long hold = env_number("VESKLO_STANDIN_OUTQ_MS");
    if (hold <= 0) return false;
    if (first < 0) first = now_ms();
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
    return real(fd);
}
