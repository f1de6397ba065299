// Linux's termios2 interface: any rate, through BOTHER. The kernel's
// <asm/termbits.h> would bring its own struct termios into the program
// beside the C library's, a second layout under the same name; its
// termios2 is declared here instead, under a name of its own, with the
// requests built from it.
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>

#include "system_posix.h"

namespace {

// struct termios2 of include/uapi/asm-generic/termbits.h, the layout of
// x86, ARM and most others; the kernel's plain termios is the same without
// the two speeds. Alpha, MIPS, PowerPC and SPARC have layouts and requests
// of their own, and their TCGETS is no plain 0x5401.
struct kernel_termios2 {
    unsigned int c_iflag, c_oflag, c_cflag, c_lflag;
    unsigned char c_line;
    unsigned char c_cc[19];
    unsigned int c_ispeed, c_ospeed;
};
static_assert(TCGETS == 0x5401, "the kernel's termios layout here is asm-generic's");

// include/uapi/asm-generic/ioctls.h and termbits.h.
constexpr unsigned long get_termios2 = _IOR('T', 0x2A, kernel_termios2);
constexpr unsigned long set_termios2 = _IOW('T', 0x2B, kernel_termios2);
constexpr unsigned int rate_mask = 0x100f;    // CBAUD
constexpr unsigned int other_rate = 0x1000;   // BOTHER: the rate in c_ispeed, c_ospeed
constexpr int input_rate_shift = 16;          // IBSHIFT

}  // namespace

bool set_custom_rate(int fd, std::int32_t rate)
{
    kernel_termios2 t{};
    // ioctl: 0 (or another non-negative value) on success, -1 on failure.
    if (ioctl(fd, get_termios2, &t) < 0) return false;
    t.c_cflag &= ~(rate_mask | rate_mask << input_rate_shift);
    t.c_cflag |= other_rate | other_rate << input_rate_shift;
    t.c_ispeed = static_cast<unsigned int>(rate);
    t.c_ospeed = static_cast<unsigned int>(rate);
    return ioctl(fd, set_termios2, &t) >= 0;
}

std::int32_t current_custom_rate(int fd)
{
    kernel_termios2 t{};
    if (ioctl(fd, get_termios2, &t) < 0 || t.c_ispeed != t.c_ospeed) return 0;
    return static_cast<std::int32_t>(t.c_ospeed);
}

// The state begins with the request that puts it back: the termios2 one,
// or, where the system has no termios2 (qemu-user answers it with ENOSYS),
// TCSETS with the plain termios, which fills the front of the same layout.
static_assert(sizeof(unsigned long) + sizeof(kernel_termios2) <= sizeof(saved_line::state));

bool save_line(int fd, saved_line *line)
{
    kernel_termios2 t{};
    unsigned long set = set_termios2;
    if (ioctl(fd, get_termios2, &t) < 0) {
        if (ioctl(fd, TCGETS, &t) < 0) return false;
        set = TCSETS;
    }
    std::memcpy(line->state, &set, sizeof set);
    std::memcpy(line->state + sizeof set, &t, sizeof t);
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
