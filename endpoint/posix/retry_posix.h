// System calls retried the way POSIX asks: on EINTR only, a write until all
// of it is written, and a wait for the time that is left.
#pragma once

#include <cstdint>

// open with O_NOCTTY and O_CLOEXEC, retried on EINTR (a FIFO can block in
// it). Returns a descriptor, or -1 with errno set.
int open_retrying(const char *name, int flags);

// read, retried on EINTR. Returns the count read, 0 at the end of the
// input, or -1 with errno set.
std::int32_t safe_read(int fd, void *buffer, std::int32_t count);

// Writes count bytes from buffer to fd, in as many calls as it takes,
// retried on EINTR. Where fd is non-blocking it waits for room, at most
// wait_ms at a time (-1: without limit). Returns the count written: count,
// or fewer with errno telling why: EAGAIN when no room came for wait_ms, 0
// when a write took nothing (which would loop for ever), else the write's
// own error.
std::int32_t full_write(int fd, const void *buffer, std::int32_t count, int wait_ms);

// Waits up to ms (-1: without limit) for events on fd, carrying the time
// that is left across interruptions; with fd -1 it only pauses. Returns the
// events seen (poll's revents, with POLLHUP and POLLERR whether asked or
// not), 0 when the time ran out or the wait failed.
short wait_for(int fd, short events, int ms);
