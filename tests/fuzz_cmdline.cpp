// libFuzzer target: any argument vector, of any bytes, through the parser.
// Every outcome must be a usage error or a complete, valid setting.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "cmdline.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Arguments are the NUL-separated pieces of the input; the copy keeps
    // each one terminated.
    static char text[4096 + 1];
    static const char *argv[256];
    if (size > 4096) return 0;
    std::memcpy(text, data, size);
    text[size] = '\0';
    int argc = 0;
    argv[argc++] = "vesklo";
    for (std::size_t i = 0; i <= size && argc < 255;) {
        argv[argc++] = text + i;
        i += std::strlen(text + i) + 1;
    }
    for (const char *prefixes : {"-", "-/"}) {
        run_settings s;
        if (!parse_args(argc, argv, prefixes, &s)) continue;
        if (s.command != 'c' && s.command != 'd' && s.command != 'e') std::abort();
        if (!s.source[0] || !s.destination[0]) std::abort();
    }
    return 0;
}
