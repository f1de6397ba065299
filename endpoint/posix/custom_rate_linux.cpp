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

static_assert(sizeof(termios2) <= sizeof(saved_line::state));

bool save_line(int fd, saved_line *line)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) < 0) return false;
    std::memcpy(line->state, &t, sizeof t);
    return true;
}

bool restore_line(int fd, const saved_line &line)
{
    struct termios2 t;
    std::memcpy(&t, line.state, sizeof t);
    return ioctl(fd, TCSETS2, &t) >= 0;
}

bool is_pseudo_terminal(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    const unsigned major_number = major(st.st_rdev);
    return major_number >= UNIX98_PTY_SLAVE_MAJOR &&
           major_number < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT;
}
