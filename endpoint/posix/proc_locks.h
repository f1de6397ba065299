// What the system tells beyond POSIX: whether another holds a file or a
// terminal, and which filesystem holds a folder.
#pragma once

#include <sys/stat.h>

// True when a process holds an flock on the file st, or when the system
// cannot tell; false only when it tells that none does.
bool flock_held(const struct stat &st);

// True when the terminal fd is in exclusive use (TIOCEXCL); false where it
// is not, or where the system cannot tell.
bool terminal_exclusive(int fd);

// True when the directory dir lies on the device filesystem (devtmpfs),
// where only the kernel makes device nodes, however it is reached (a bind
// mount, another mount of it); false where it does not, or where the
// system cannot tell.
bool on_device_filesystem(int dir);
