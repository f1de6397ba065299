#include "device_dir_posix.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

// Opens the directory path (its links followed) with O_PATH. Returns the
// descriptor, or -1 with errno set.
int open_directory(const char *path)
{
    return open(*path ? path : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// True when the directory dir is /dev/serial or lies below it; with
// or_dev, also when it is /dev itself. Walks up through ".." so that a
// bind mount or a link that leads there is known by where it leads.
bool under_device_directory(int dir, bool or_dev)
{
    struct stat dev, serial, root, at;
    if (stat("/dev", &dev) != 0 || stat("/", &root) != 0 || fstat(dir, &at) != 0) return false;
    if (same_file(at, dev)) return or_dev;
    if (stat("/dev/serial", &serial) != 0) return false;
    int fd = dir;
    bool found = false;
    for (int depth = 0; depth < 32 && fd >= 0; ++depth) {
        found = same_file(at, serial);
        if (found || same_file(at, root) || same_file(at, dev)) break;
        const int up = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd != dir) close(fd);
        fd = up;
        if (fd >= 0 && fstat(fd, &at) != 0) break;
    }
    if (fd >= 0 && fd != dir) close(fd);
    return found;
}

// Judges a missing directory path: cuts components from its end until it
// reaches one that exists. True when that one is under /dev/serial/, or
// is /dev itself and the first missing component is "serial" (the usual
// state once the last USB adapter is out: no /dev/serial at all).
bool missing_under_device_directory(const char *path)
{
    char at[PATH_MAX];
    if (std::snprintf(at, sizeof at, "%s", path) >= static_cast<int>(sizeof at)) return false;
    for (;;) {
        char *slash = std::strrchr(at, '/');
        const bool serial_missing = std::strcmp(slash ? slash + 1 : at, "serial") == 0;
        if (slash) *(slash == at ? slash + 1 : slash) = '\0';
        else at[0] = '\0';
        const int dir = open_directory(at);
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

// Splits path at its last "/" into dir and leaf.
void split(const char *path, char *dir, std::size_t dir_size, char *leaf, std::size_t leaf_size)
{
    const char *slash = std::strrchr(path, '/');
    const std::size_t length = slash ? static_cast<std::size_t>(slash - path) : 0;
    std::snprintf(dir, dir_size, "%.*s", static_cast<int>(length), path);
    if (slash && length == 0) std::snprintf(dir, dir_size, "/");
    std::snprintf(leaf, leaf_size, "%s", slash ? slash + 1 : path);
}

}  // namespace

int creation_place(const char *name, char *leaf, std::size_t size, bool *device_dir)
{
    char path[PATH_MAX], dir[PATH_MAX], target[PATH_MAX];
    *device_dir = false;
    if (std::snprintf(path, sizeof path, "%s", name) >= static_cast<int>(sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // As many links as the system itself follows in one path.
    for (int links = 0; links <= 40; ++links) {
        split(path, dir, sizeof dir, leaf, size);
        const int fd = open_directory(dir);
        if (fd < 0) {
            const int code = errno;
            *device_dir = code == ENOENT && missing_under_device_directory(dir);
            errno = code;
            return -1;
        }
        // readlinkat: the target's length, not terminated, or -1 (EINVAL
        // for no link, ENOENT for nothing there: the place is found).
        const ssize_t n = readlinkat(fd, leaf, target, sizeof target - 1);
        if (n < 0) {
            *device_dir = under_device_directory(fd, true);
            return fd;
        }
        close(fd);
        target[n] = '\0';
        char next[PATH_MAX];
        const bool relative = target[0] != '/' && dir[0] != '\0';
        const int written = relative ? std::snprintf(next, sizeof next, "%s/%s", dir, target)
                                     : std::snprintf(next, sizeof next, "%s", target);
        if (written >= static_cast<int>(sizeof next)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(path, next, sizeof path);
    }
    errno = ELOOP;
    return -1;
}
