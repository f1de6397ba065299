#include "device_dir_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "system_posix.h"

// O_PATH asks for no access to a directory; where the system lacks it,
// reading will do.
#ifndef O_PATH
#define O_PATH O_RDONLY
#endif

namespace {

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the directory path, relative to base (its links followed), with
// O_PATH. Returns the descriptor, or -1 with errno set.
int open_directory(int base, const char *path)
{
    return openat(base, *path ? path : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// True when at is /dev/serial (serial) or a folder in it: a bind mount of
// /dev/serial/by-id is known by its identity, since ".." at the root of a
// mount leads to the mount point's parent, not to /dev/serial.
bool is_serial_folder(const struct stat &at, const struct stat &serial)
{
    if (same_file(at, serial)) return true;
    DIR *d = opendir("/dev/serial");
    if (!d) return false;
    bool found = false;
    while (const dirent *e = found ? nullptr : readdir(d)) {
        struct stat st;
        found = e->d_name[0] != '.' && fstatat(dirfd(d), e->d_name, &st, 0) == 0 &&
                S_ISDIR(st.st_mode) && same_file(at, st);
    }
    closedir(d);
    return found;
}

// True when the directory dir is where only the kernel makes device
// nodes: /dev/serial or below it; with or_dev, also /dev itself; and,
// however it is reached, a folder of the device filesystem. Walks up
// through ".." so that a link that leads there is known by where it leads.
bool under_device_directory(int dir, bool or_dev)
{
    if (on_device_filesystem(dir)) return true;
    struct stat dev, serial, root, at;
    if (stat("/dev", &dev) != 0 || stat("/", &root) != 0 || fstat(dir, &at) != 0) return false;
    if (same_file(at, dev)) return or_dev;
    if (stat("/dev/serial", &serial) != 0) return false;
    int fd = dir;
    bool found = false;
    for (int depth = 0; depth < 32 && fd >= 0; ++depth) {
        found = is_serial_folder(at, serial);
        if (found || same_file(at, root) || same_file(at, dev)) break;
        const int up = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd != dir) close(fd);
        fd = up;
        if (fd >= 0 && fstat(fd, &at) != 0) break;
    }
    if (fd >= 0 && fd != dir) close(fd);
    return found;
}

// Judges a missing directory path, relative to base: cuts components from
// its end until it reaches one that exists. True when that one is where
// only the kernel makes devices (under_device_directory), or is /dev
// itself and the first missing component is "serial" (the usual state
// once the last USB adapter is out: no /dev/serial at all). A path too
// long to judge counts as such a place.
bool missing_under_device_directory(int base, const char *path)
{
    char at[PATH_MAX];
    if (std::snprintf(at, sizeof at, "%s", path) >= static_cast<int>(sizeof at)) return true;
    for (;;) {
        char *slash = std::strrchr(at, '/');
        const bool serial_missing = std::strcmp(slash ? slash + 1 : at, "serial") == 0;
        if (slash) *(slash == at ? slash + 1 : slash) = '\0';
        else at[0] = '\0';
        const int dir = open_directory(base, at);
        if (dir >= 0) {
            struct stat dev, st;
            const bool is_dev = stat("/dev", &dev) == 0 && fstat(dir, &st) == 0 && same_file(st, dev);
            const bool found = under_device_directory(dir, false) ||
                               (is_dev && serial_missing);
            close(dir);
            return found;
        }
        if (errno != ENOENT || !slash || slash == at) return false;
    }
}

// Splits path at its last "/" into dir and leaf. Returns false when either
// has no room.
bool split(const char *path, char *dir, std::size_t dir_size, char *leaf, std::size_t leaf_size)
{
    const char *slash = std::strrchr(path, '/');
    const std::size_t length = slash ? static_cast<std::size_t>(slash - path) : 0;
    const char *rest = slash ? slash + 1 : path;
    if (length >= dir_size || std::strlen(rest) >= leaf_size) return false;
    std::memcpy(dir, path, length);
    dir[length] = '\0';
    if (slash && length == 0) std::snprintf(dir, dir_size, "/");
    std::memcpy(leaf, rest, std::strlen(rest) + 1);
    return true;
}

}  // namespace

int creation_place(const char *name, char *leaf, std::size_t size, bool *device_dir)
{
    char path[PATH_MAX], dir[PATH_MAX];
    *device_dir = false;
    if (std::snprintf(path, sizeof path, "%s", name) >= static_cast<int>(sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // A relative link is followed from the folder that holds it, never
    // joined to that folder's path, which may already be as long as a
    // path can be.
    int base = AT_FDCWD;
    // As many links as the system itself follows in one path.
    for (int links = 0; links <= 40; ++links) {
        if (!split(path, dir, sizeof dir, leaf, size)) {
            if (base != AT_FDCWD) close(base);
            errno = ENAMETOOLONG;
            return -1;
        }
        const int fd = open_directory(base, dir);
        if (fd < 0) {
            const int code = errno;
            *device_dir = code == ENOENT && missing_under_device_directory(base, dir);
            if (base != AT_FDCWD) close(base);
            errno = code;
            return -1;
        }
        if (base != AT_FDCWD) close(base);
        // readlinkat: the target's length, not terminated, or -1 (EINVAL
        // for no link, ENOENT for nothing there: the place is found).
        const ssize_t n = readlinkat(fd, leaf, path, sizeof path - 1);
        if (n < 0) {
            *device_dir = under_device_directory(fd, true);
            return fd;
        }
        path[n] = '\0';
        if (path[0] == '/') {
            close(fd);
            base = AT_FDCWD;
        } else {
            base = fd;
        }
    }
    if (base != AT_FDCWD) close(base);
    errno = ELOOP;
    return -1;
}
