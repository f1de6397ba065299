// The console on Windows: the start-up code splits the command line and
// expands wildcards in it.
#include <cstdio>

#include "console.h"

// Asks the mingw-w64 start-up code to expand wildcards in the arguments.
int _dowildcard = -1;

// Both "-" and "/" begin an option, as is usual on Windows.
const char option_prefixes[] = "-/";

void console_prepare()
{
    // Fully buffered, also on a console, where each unbuffered dot would
    // cost a round trip: the transfers flush the dots as they are to be
    // shown, and main before each line on standard error.
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
}

const char *shown_name(const char *name)
{
    return name;
}

int main(int argc, char **argv)
{
    return vesklo_main(argc, argv);
}
