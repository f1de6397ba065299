// Whether another holds a file or a terminal, as far as the system tells.
#pragma once

#include <sys/stat.h>

// True when a process holds an flock on the file st, or when the system
// cannot tell; false only when it tells that none does.
bool flock_held(const struct stat &st);

// True when the terminal fd is in exclusive use (TIOCEXCL); false where it
// is not, or where the system cannot tell.
bool terminal_exclusive(int fd);
