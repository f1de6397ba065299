#include "sysfs_linux.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "retry_posix.h"

bool read_attribute(const char *path, char *text, std::size_t size)
{
    text[0] = '\0';
    const int fd = open_retrying(path, O_RDONLY);
    if (fd < 0) return false;
    const std::int32_t n = safe_read(fd, text, static_cast<std::int32_t>(size - 1));
    close(fd);
    if (n <= 0) return false;
    std::size_t end = static_cast<std::size_t>(n);
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == ' ')) --end;
    text[end] = '\0';
    return end > 0;
}

bool link_name(const char *path, char *name, std::size_t size)
{
    char target[512];
    name[0] = '\0';
    // readlink: the length of the target, not terminated, or -1.
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    const char *slash = std::strrchr(target, '/');
    std::snprintf(name, size, "%s", slash ? slash + 1 : target);
    return true;
}

bool device_driver(char *device, std::size_t size, char *driver, std::size_t driver_size)
{
    for (int depth = 0; depth < 3; ++depth) {
        char link[600];
        std::snprintf(link, sizeof link, "%s/driver", device);
        if (!link_name(link, driver, driver_size)) return false;
        if (std::strcmp(driver, "port") != 0 && std::strcmp(driver, "ctrl") != 0) return true;
        const std::size_t used = std::strlen(device);
        if (used + 4 > size) return false;
        std::memcpy(device + used, "/..", 4);
    }
    return false;
}
