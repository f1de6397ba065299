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

// How full_write ended. A write that takes nothing is an end of its own:
// retried it would loop for ever, and it sets no errno to tell it by.
enum write_end {
    write_complete,      // every byte written
    write_no_room,       // a non-blocking fd had no room for wait_ms
    write_took_nothing,  // a write returned 0
    write_failed,        // a write failed; errno tells why
};

struct write_outcome {
    std::int32_t written;  // the bytes written before it ended
    write_end end;
};

// Writes count bytes from buffer to fd, in as many calls as it takes,
// retried on EINTR. Where fd is non-blocking it waits for room, at most
// wait_ms at a time (-1: without limit). Returns how many were written and
// why it stopped.
write_outcome full_write(int fd, const void *buffer, std::int32_t count, int wait_ms);

// Waits up to ms (-1: without limit) for events on fd, carrying the time
// that is left across interruptions; with fd -1 it only pauses. Returns the
// events seen (poll's revents, with POLLHUP and POLLERR whether asked or
// not), 0 when the time ran out or the wait failed.
short wait_for(int fd, short events, int ms);
