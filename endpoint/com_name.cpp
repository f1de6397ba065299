#include "com_name.h"

bool parse_com_name(const char *text, std::size_t length, com_name *parsed)
{
    if (length < 4) return false;
    for (std::size_t i = 0; i < 3; ++i)
        if ((text[i] | 0x20) != "com"[i]) return false;
    *parsed = {0, 0, text[3] == '0', text[0] == 'C' && text[1] == 'O' && text[2] == 'M', false};
    if (text[length - 1] == ':') {
        parsed->colon = true;
        --length;
    }
    constexpr long saturated = 1000000000;
    for (std::size_t i = 3; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        parsed->number = parsed->number >= saturated ? saturated : parsed->number * 10 + (text[i] - '0');
        ++parsed->digits;
    }
    return parsed->digits > 0;
}
