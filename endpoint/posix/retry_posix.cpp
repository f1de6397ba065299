#include "retry_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

long now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

}  // namespace

int open_retrying(const char *name, int flags)
{
    int fd = -1;
    do fd = open(name, flags | O_NOCTTY | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

std::int32_t safe_read(int fd, void *buffer, std::int32_t count)
{
    ssize_t n = 0;
    do n = read(fd, buffer, static_cast<size_t>(count));
    while (n < 0 && errno == EINTR);
    return static_cast<std::int32_t>(n);
}

std::int32_t full_write(int fd, const void *buffer, std::int32_t count, int wait_ms)
{
    const char *p = static_cast<const char *>(buffer);
    std::int32_t done = 0;
    while (done < count) {
        // write: the count written, or -1 (EAGAIN: a non-blocking fd has
        // no room).
        const ssize_t n = write(fd, p + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<std::int32_t>(n);
        } else if (n == 0) {
            errno = 0;
            return done;
        } else if (errno == EAGAIN) {
            if (wait_for(fd, POLLOUT, wait_ms) == 0) {
                errno = EAGAIN;
                return done;
            }
        } else if (errno != EINTR) {
            return done;
        }
    }
    return done;
}

short wait_for(int fd, short events, int ms)
{
    const long deadline = now_ms() + ms;
    pollfd p = {fd, events, 0};
    for (;;) {
        const long left = ms < 0 ? -1 : deadline - now_ms();
        // poll: the number of ready descriptors, 0 on time-out, -1 on
        // failure. A negative fd is ignored, which makes it a pause.
        const int n = poll(&p, 1, left < 0 && ms >= 0 ? 0 : static_cast<int>(left));
        if (n > 0) return p.revents;
        if (n == 0 || errno != EINTR) return 0;
    }
}
