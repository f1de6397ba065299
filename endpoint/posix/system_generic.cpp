// The answers of a system that offers POSIX alone: the standard rates only,
// no pseudo-terminal told from a port, every driver trusted to report the
// rate its UART makes, a lock taken to be held, and no port table to read
// without opening the ports.
#include <termios.h>

#include <cstring>

#include "system_posix.h"

bool set_custom_rate(int, std::int32_t)
{
    return false;
}

std::int32_t current_custom_rate(int)
{
    return 0;
}

static_assert(sizeof(termios) <= sizeof(saved_line::state));

bool save_line(int fd, saved_line *line)
{
    termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    std::memcpy(line->state, &t, sizeof t);
    return true;
}

bool restore_line(int fd, const saved_line &line)
{
    termios t;
    std::memcpy(&t, line.state, sizeof t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool is_pseudo_terminal(int)
{
    return false;
}

uart_rules uart_rules_of(int)
{
    return {uart_unknown, 0};
}

bool flock_held(const struct stat &)
{
    return true;
}

int list_ports_under(const char *, const char *, port_listing *, int)
{
    return 0;
}

int list_ports(port_listing *, int)
{
    return 0;
}

bool terminal_exclusive(int)
{
    return false;
}

bool on_device_filesystem(int)
{
    return false;
}
