// Names of the form COM and a number, read one way for every platform.
#pragma once

#include <cstddef>

// How a COM name was spelled.
struct com_name {
    long number;        // the number; saturates far above any port's
    int digits;         // how many digits spell it
    bool leading_zero;  // its first digit is 0 (COM0, COM01)
    bool upper_case;    // COM in capitals
    bool colon;         // a closing colon, as in COM1:
};

// Returns true, with *parsed filled, when the first length characters of
// text are COM in any case, one or more decimal digits and at most a
// closing colon; false, *parsed unspecified, for any other text.
bool parse_com_name(const char *text, std::size_t length, com_name *parsed);
