// Linux's termios2 interface: any rate, through BOTHER.
#include <asm/termbits.h>
#include <linux/major.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/ioctl.h>

#include <cstring>

#include "custom_rate.h"

bool set_custom_rate(int fd, std::int32_t rate)
{
    struct termios2 t;
    // ioctl: 0 (or another non-negative value) on success, -1 on failure.
    if (ioctl(fd, TCGETS2, &t) < 0) return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = static_cast<speed_t>(rate);
    t.c_ospeed = static_cast<speed_t>(rate);
    return ioctl(fd, TCSETS2, &t) >= 0;
}

std::int32_t current_custom_rate(int fd)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) < 0 || t.c_ispeed != t.c_ospeed) return 0;
    return static_cast<std::int32_t>(t.c_ospeed);
}

// The state begins with the request that put it back: TCSETS2 with
// termios2, or, where the system has no termios2 (qemu-user answers it
// with ENOSYS), TCSETS with the plain termios.
static_assert(sizeof(unsigned long) + sizeof(termios2) <= sizeof(saved_line::state));

bool save_line(int fd, saved_line *line)
{
    struct termios2 t2;
    struct termios t;
    unsigned long set = TCSETS2;
    if (ioctl(fd, TCGETS2, &t2) >= 0) {
        std::memcpy(line->state + sizeof set, &t2, sizeof t2);
    } else if (ioctl(fd, TCGETS, &t) >= 0) {
        set = TCSETS;
        std::memcpy(line->state + sizeof set, &t, sizeof t);
    } else {
        return false;
    }
    std::memcpy(line->state, &set, sizeof set);
    return true;
}

bool restore_line(int fd, const saved_line &line)
{
    unsigned long set = 0;
    std::memcpy(&set, line.state, sizeof set);
    return ioctl(fd, set, line.state + sizeof set) >= 0;
}

bool is_pseudo_terminal(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    const unsigned major_number = major(st.st_rdev);
    return major_number >= UNIX98_PTY_SLAVE_MAJOR &&
           major_number < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT;
}
