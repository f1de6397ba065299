// Reading the command line into the settings of one run.
#pragma once

#include <cstdint>

struct run_settings {
    char command;                // 'c', 'e' or 'd' once the line is valid
    const char *source;          // points into argv; "" when not given
    const char *destination;     // points into argv; "" when not given
    std::int32_t baud_rate;      // the b option, 115200 unless given
    std::int32_t start_address;  // the h option, -1 (no header) unless given
};

// The text printed for any usage error.
extern const char usage_text[];

// Fills settings from argv (argv[0] is the program). An argument that begins
// with one of option_prefixes is an option, any other a name. Returns false
// on a usage error; settings then hold what was read up to it.
bool parse_args(int argc, const char *const *argv, const char *option_prefixes,
                run_settings *settings);

// The command lines that ask about the tool itself, each exactly the one
// word after the program's name; any other line is a run.
enum info_request { no_info_request, info_help, info_version, info_list };

info_request parse_info_request(int argc, const char *const *argv);
