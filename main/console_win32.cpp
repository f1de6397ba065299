// The console on Windows: the start-up code splits the wide command line
// and expands wildcards in it; the run gets the arguments as UTF-8, so that
// a name outside the ANSI code page is kept as typed, never replaced by a
// look-alike that names another file.
#include <windows.h>

#include <cstdio>

#include "console.h"

// Asks the mingw-w64 start-up code to expand wildcards in the arguments
// (__wgetmainargs does so for wmain as for main).
int _dowildcard = -1;

// Both "-" and "/" begin an option, as is usual on Windows.
const char option_prefixes[] = "-/";

namespace {

// A command line holds at most 32767 wide characters. Each becomes at most
// 3 bytes of UTF-8 (a surrogate pair, two of them, 4), and each argument
// takes at least one character with its separator, so that many bytes hold
// every argument with its NUL, and half as many pointers every argument.
constexpr int line_max = 32767;
char argument_text[4 * (line_max + 1)];
char *arguments[line_max / 2 + 2];

// Converts argv into the static arguments. Returns false when an argument
// holds a lone surrogate (no UTF-8 says it) or when wildcards expanded the
// arguments beyond a command line's room; the arguments are then unusable.
bool take_arguments(int argc, wchar_t **argv)
{
    if (argc < 0 || argc >= static_cast<int>(sizeof arguments / sizeof *arguments)) return false;
    int used = 0;
    for (int i = 0; i < argc; ++i) {
        // WideCharToMultiByte: the bytes written with the NUL, 0 on failure.
        const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argv[i], -1,
                                          argument_text + used,
                                          static_cast<int>(sizeof argument_text) - used, nullptr,
                                          nullptr);
        if (n == 0) return false;
        arguments[i] = argument_text + used;
        used += n;
    }
    arguments[argc] = nullptr;
    return true;
}

}  // namespace

void console_prepare()
{
    // Fully buffered, also on a console, where each unbuffered dot would
    // cost a round trip: the transfers flush the dots as they are to be
    // shown, and main before each line on standard error.
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    // The C runtime buffers standard error when it is a file or a pipe; a
    // notice of a stalled send would then reach a log only at the end.
    // Unbuffered, each reason line still goes out in one fwrite.
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

int wmain(int argc, wchar_t **argv)
{
    // Arguments that cannot be held as typed make a usage error, as a third
    // name would: wildcards can only overflow the room by matching many.
    if (!take_arguments(argc, argv)) {
        static char program[] = "vesklo";
        static char *none[] = {program, nullptr};
        return vesklo_main(1, none);
    }
    return vesklo_main(argc, arguments);
}
