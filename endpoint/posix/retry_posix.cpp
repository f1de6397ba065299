#include "retry_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "endpoint.h"

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

write_outcome full_write(int fd, const void *buffer, std::int32_t count, int wait_ms)
{
    const char *p = static_cast<const char *>(buffer);
    std::int32_t done = 0;
    while (done < count) {
        // write: the count written, or -1 (EAGAIN: a non-blocking fd has
        // no room).
        const ssize_t n = write(fd, p + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<std::int32_t>(n);
            continue;
        }
        if (n == 0) return {done, write_took_nothing};
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return {done, write_failed};
        if (wait_for(fd, POLLOUT, wait_ms) == 0) return {done, write_no_room};
    }
    return {done, write_complete};
}

short wait_for(int fd, short events, int ms)
{
    const std::int64_t deadline = monotonic_ms() + ms;
    pollfd p = {fd, events, 0};
    for (;;) {
        const std::int64_t left = ms < 0 ? -1 : deadline - monotonic_ms();
        // poll: the number of ready descriptors, 0 on time-out, -1 on
        // failure. A negative fd is ignored, which makes it a pause.
        const int n = poll(&p, 1, left < 0 && ms >= 0 ? 0 : static_cast<int>(left));
        if (n > 0) return p.revents;
        if (n == 0 || errno != EINTR) return 0;
    }
}

std::int64_t monotonic_ms()
{
    timespec t;
    // clock_gettime: 0 on success; CLOCK_MONOTONIC cannot fail on Linux.
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}
