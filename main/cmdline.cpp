#include "cmdline.h"

#include <cstring>

const char usage_text[] =
    "  usage vesklo [command] [src_name] [dst_name] [-option]\n"
    "\n"
    "  command:\n"
    "    C : copy src_name to dst_name \n"
    "    E : copy src_name to dst_name with Hispeed encode\n"
    "    D : copy src_name to dst_name with Hispeed decode\n"
    "  option:              |cmd|defallt| note\n"
    "    -h[start_address]  |all|(auto) | add LOADM header with start_address\n"
    "    -b[baudrate]       |all|115200 | baudrate for COMx device\n";

namespace {

// Letters fold to lower case by bit 0x20, as do the other characters they
// pair with; only C/c, D/d and E/e land on a command.
char fold(char c)
{
    return static_cast<char>(c | 0x20);
}

bool is_blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int digit_value(char c, int base)
{
    int value = 36;
    if (c >= '0' && c <= '9') value = c - '0';
    else if (c >= 'a' && c <= 'z') value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'Z') value = c - 'A' + 10;
    return value < base ? value : -1;
}

// Reads leading blanks, an optional sign and, for base 16, an optional 0x;
// then the digits, up to the first character that is none. Trailing
// characters are ignored. Returns false when there is no digit, or when the
// magnitude exceeds limit. *negative tells the sign.
bool read_magnitude(const char *text, int base, std::uint64_t limit, std::uint64_t *magnitude,
                    bool *negative)
{
    while (is_blank(*text)) ++text;
    *negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    if (base == 16 && text[0] == '0' && fold(text[1]) == 'x') text += 2;
    if (digit_value(*text, base) < 0) return false;
    std::uint64_t value = 0;
    for (int d; (d = digit_value(*text, base)) >= 0; ++text) {
        value = value * base + static_cast<unsigned>(d);
        if (value > limit) return false;
    }
    *magnitude = value;
    return true;
}

// The b value: a decimal integer that fits in 32 signed bits.
bool read_decimal(const char *text, std::int32_t *out)
{
    std::uint64_t magnitude = 0;
    bool negative = false;
    if (!read_magnitude(text, 10, 0x80000000u, &magnitude, &negative)) return false;
    if (!negative && magnitude > 0x7fffffffu) return false;
    *out = static_cast<std::int32_t>(negative ? 0u - magnitude : magnitude);
    return true;
}

// The h value: 32 unsigned bits, a minus negating them modulo 2^32, so that
// ffffffff and -1 both mean no header.
bool read_hex(const char *text, std::int32_t *out)
{
    std::uint64_t magnitude = 0;
    bool negative = false;
    if (!read_magnitude(text, 16, 0xffffffffu, &magnitude, &negative)) return false;
    const std::uint32_t bits = static_cast<std::uint32_t>(magnitude);
    *out = static_cast<std::int32_t>(negative ? 0u - bits : bits);
    return true;
}

bool read_option(const char *arg, run_settings *settings)
{
    const char letter = fold(arg[1]);
    if (letter == 'b') return read_decimal(arg + 2, &settings->baud_rate);
    if (letter == 'h') return read_hex(arg + 2, &settings->start_address);
    return false;
}

// An empty argument fills a slot with an empty name, which the next name
// then overwrites.
bool take_name(const char *arg, run_settings *settings)
{
    if (settings->source[0] == '\0') settings->source = arg;
    else if (settings->destination[0] == '\0') settings->destination = arg;
    else return false;
    return true;
}

bool is_option(const char *arg, const char *option_prefixes)
{
    return arg[0] != '\0' && std::strchr(option_prefixes, arg[0]) != nullptr;
}

}  // namespace

bool parse_args(int argc, const char *const *argv, const char *option_prefixes,
                run_settings *settings)
{
    *settings = run_settings{'\0', "", "", 115200, -1};
    if (argc < 2) return false;
    settings->command = fold(argv[1][0]);
    for (int i = 2; i < argc; ++i) {
        const char *arg = argv[i];
        const bool ok = is_option(arg, option_prefixes) ? read_option(arg, settings)
                                                         : take_name(arg, settings);
        if (!ok) return false;
    }
    const char c = settings->command;
    if (c != 'c' && c != 'd' && c != 'e') return false;
    return settings->source[0] != '\0' && settings->destination[0] != '\0';
}

info_request parse_info_request(int argc, const char *const *argv)
{
    if (argc != 2) return no_info_request;
    if (std::strcmp(argv[1], "--help") == 0) return info_help;
    if (std::strcmp(argv[1], "--version") == 0) return info_version;
    if (std::strcmp(argv[1], "--list") == 0) return info_list;
    return no_info_request;
}
