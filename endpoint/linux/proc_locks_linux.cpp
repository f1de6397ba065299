// What Linux tells of other holders and of filesystems: every lock in
// /proc/locks, a terminal's exclusive use, and the mount behind a folder.
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system_posix.h"

// /proc/locks has a lock a line,
//   1: FLOCK  ADVISORY  WRITE 4711 00:05:1093 0 EOF
// with the file's device (major and minor, in hex) and inode.
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

bool terminal_exclusive(int fd)
{
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

bool on_device_filesystem(int dir)
{
    // The mount that holds dir, by its id in the descriptor's fdinfo, and
    // that mount's filesystem type in mountinfo: statfs tells devtmpfs
    // from no other tmpfs.
    char path[64], line[4096];
    std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", dir);
    std::FILE *info = std::fopen(path, "re");
    if (!info) return false;
    long mount_id = -1;
    while (mount_id < 0 && std::fgets(line, sizeof line, info))
        if (std::sscanf(line, "mnt_id: %ld", &mount_id) != 1) mount_id = -1;
    std::fclose(info);
    std::FILE *mounts = mount_id >= 0 ? std::fopen("/proc/self/mountinfo", "re") : nullptr;
    if (!mounts) return false;
    bool device_fs = false, line_start = true;
    while (std::fgets(line, sizeof line, mounts)) {
        // 65 45 0:6 / /mnt/hostdev rw,relatime - devtmpfs none rw,...
        // A line longer than the buffer comes in parts; only a line's
        // first part begins with its mount's id.
        const bool whole_start = line_start;
        line_start = std::strchr(line, '\n') != nullptr;
        const char *fields = std::strstr(line, " - ");
        char type[32];
        if (!whole_start || std::strtol(line, nullptr, 10) != mount_id || !fields ||
            std::sscanf(fields, " - %31s", type) != 1)
            continue;
        device_fs = std::strcmp(type, "devtmpfs") == 0;
        break;
    }
    std::fclose(mounts);
    return device_fs;
}
