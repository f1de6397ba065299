// Whether some process holds a lock on a file, as far as the system tells.
#pragma once

#include <sys/stat.h>

// True when a process holds an flock on the file st, or when the system
// cannot tell; false only when it tells that none does.
bool flock_held(const struct stat &st);
