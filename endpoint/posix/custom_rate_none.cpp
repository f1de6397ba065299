// Systems without a custom-rate interface take the standard rates only.
#include <termios.h>

#include <cstring>

#include "custom_rate.h"

bool set_custom_rate(int, std::int32_t)
{
    return false;
}

std::int32_t current_custom_rate(int)
{
    return 0;
}

bool is_pseudo_terminal(int)
{
    return false;
}

static_assert(sizeof(termios) <= sizeof(saved_line::state));

bool save_line(int fd, saved_line *line)
{
    termios t;
    // tcgetattr, tcsetattr: 0 on success, -1 on failure.
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
