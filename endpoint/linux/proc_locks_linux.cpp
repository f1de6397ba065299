// Linux lists every lock in /proc/locks, one a line:
//   1: FLOCK  ADVISORY  WRITE 4711 00:05:1093 0 EOF
// with the file's device (major and minor, in hex) and inode.
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstring>

#include "system_posix.h"

bool flock_held(const struct stat &st)
{
    std::FILE *locks = std::fopen("/proc/locks", "re");
    if (!locks) return true;
    bool held = false;
    char line[256];
    while (!held && std::fgets(line, sizeof line, locks)) {
        char kind[16];
        unsigned major_number = 0, minor_number = 0;
        unsigned long inode = 0;
        held = std::sscanf(line, "%*s %15s %*s %*s %*d %x:%x:%lu", kind, &major_number,
                           &minor_number, &inode) == 4 &&
               std::strcmp(kind, "FLOCK") == 0 && major_number == major(st.st_dev) &&
               minor_number == minor(st.st_dev) && inode == st.st_ino;
    }
    std::fclose(locks);
    return held;
}
