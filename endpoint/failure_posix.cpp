// The reasons behind endpoint failures, in the words of the system
// (strerror) and with a hint where the commonest troubles need one.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "endpoint.h"
#include "endpoint_posix.h"

namespace {

constexpr char usb_names[] =
    "USB adapters appear as /dev/ttyUSB0, /dev/ttyACM0 or under /dev/serial/by-id/";

// The device behind name: the mapped path of a COM name, else name itself.
const char *device_of(const char *name, char *path, std::size_t size)
{
    if (std::strncmp(name, "COM", 3) == 0) return com_device_path(name, path, size) ? path : "";
    return name;
}

// Permission denied on a device: which access is missing, and how users
// usually get it (the device's group, on most Linux systems dialout).
void permission_hint(const char *device, char *hint, std::size_t size)
{
    struct stat st;
    if (stat(device, &st) != 0 || !S_ISCHR(st.st_mode)) return;
    // access: 0 when the access is granted, -1 when not.
    const bool can_read = access(device, R_OK) == 0, can_write = access(device, W_OK) == 0;
    const char *missing = can_read ? "write" : can_write ? "read" : "read and write";
    const group *g = getgrgid(st.st_gid);
    if (g && st.st_gid != 0)
        std::snprintf(hint, size,
                      "; no %s access to %s: users usually get it by joining its group '%s' "
                      "(sudo usermod -aG %s $USER, then log in again)",
                      missing, device, g->gr_name, g->gr_name);
    else
        std::snprintf(hint, size, "; no %s access to %s", missing, device);
}

}  // namespace

void describe_failure(const char *name, char *text, std::size_t size)
{
    const endpoint_failure f = last_failure();
    char path[32] = "";
    const char *device = device_of(name, path, sizeof path);
    char hint[400] = "";
    switch (f.cause) {
    case cause_no_such_port:
        if (*device)
            std::snprintf(hint, sizeof hint, "; %s is %s, and %s", name, device, usb_names);
        else
            std::snprintf(hint, sizeof hint,
                          "; COM1 is /dev/ttyS0, COM2 is /dev/ttyS1 and so on, and %s", usb_names);
        break;
    case cause_in_use: std::snprintf(hint, sizeof hint, "; in use by another program"); break;
    case cause_same_file:
        std::snprintf(hint, sizeof hint, "; it is the same file as the source");
        break;
    case cause_rate_refused:
        if (f.rate_actual > 0)
            std::snprintf(hint, sizeof hint, "; the port refused %d baud (it runs at %d)",
                          static_cast<int>(f.rate_asked), static_cast<int>(f.rate_actual));
        else
            std::snprintf(hint, sizeof hint, "; the port refused %d baud",
                          static_cast<int>(f.rate_asked));
        break;
    case cause_hung_up:
        std::snprintf(hint, sizeof hint, "; the port hung up (unplugged, or the line dropped)");
        break;
    case cause_system:
        if (f.code == EACCES || f.code == EPERM) permission_hint(device, hint, sizeof hint);
        break;
    case cause_directory:
    case cause_no_progress: break;
    }
    const char *reason = f.code != 0               ? std::strerror(f.code)
                         : f.cause == cause_no_progress ? "the device took no data"
                                                        : "no such port";
    std::snprintf(text, size, "%s%s", reason, hint);
}
