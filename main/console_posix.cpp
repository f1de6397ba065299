// The console on POSIX: arguments arrive as the shell split them, in the
// system's own bytes, and are used unchanged.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "console.h"

// POSIX paths begin with "/", so only "-" can begin an option.
const char option_prefixes[] = "-";

void console_prepare()
{
    // A standard descriptor that was closed would be taken by an endpoint,
    // and the dots would be written into it. It is held by /dev/null opened
    // for reading only, so that writing it still fails as on a closed one
    // (an answer that never arrived is then told). fcntl: -1 for a closed one.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDONLY);
    // A pipe whose reader has gone fails the write (EPIPE), which the
    // transfer reports, instead of killing the run unannounced.
    std::signal(SIGPIPE, SIG_IGN);
    // Fully buffered, also on a terminal: the transfers flush the dots as
    // they are to be shown, and main before each line on standard error.
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
}

int main(int argc, char **argv)
{
    return vesklo_main(argc, argv);
}
