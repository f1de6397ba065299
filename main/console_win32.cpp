// The console on Windows: the start-up code splits the command line and
// expands wildcards in it.
#include "console.h"

// Asks the mingw-w64 start-up code to expand wildcards in the arguments.
int _dowildcard = -1;

// Both "-" and "/" begin an option, as is usual on Windows.
const char option_prefixes[] = "-/";

void console_prepare()
{
    // Each printf reaches the console at once; nothing to change.
}

const char *shown_name(const char *name)
{
    return name;
}

int main(int argc, char **argv)
{
    return vesklo_main(argc, argv);
}
