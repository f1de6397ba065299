// The reason line of a failed endpoint operation: the system's words, then
// a hint where the commonest troubles need one. The hints that hold on
// every platform are here; the platform's own come from its file.
#include <cstdio>

#include "reason_text.h"

#include "port_policy.h"

void describe_failure(const endpoint_failure &f, const char *name, char *text, std::size_t size)
{
    char reason[300] = "";
    system_reason(f, reason, sizeof reason);
    char hint[400] = "";
    switch (f.cause) {
    case cause_in_use: std::snprintf(hint, sizeof hint, "; in use by another program"); break;
    case cause_left_exclusive:
        std::snprintf(hint, sizeof hint,
                      "; in use by another program, or an earlier run lost the line and the port "
                      "stays exclusive until every program holding it closes it");
        break;
    case cause_same_file:
        std::snprintf(hint, sizeof hint, "; it is the same file as the source");
        break;
    case cause_rate_refused:
        if (f.rate_actual > 0)
            std::snprintf(hint, sizeof hint, "; the port refused %d baud (it runs at %d)",
                          static_cast<int>(f.rate_asked), static_cast<int>(f.rate_actual));
        else
            std::snprintf(hint, sizeof hint, "; the port refused %d baud",
                          static_cast<int>(f.rate_asked));
        break;
    case cause_settings_refused:
        if (f.rate_actual > 0)
            std::snprintf(hint, sizeof hint,
                          "; the port refused %d baud with %d data bits (it runs at %d baud with %d)",
                          static_cast<int>(f.rate_asked), static_cast<int>(f.bits_asked),
                          static_cast<int>(f.rate_actual), static_cast<int>(f.bits_kept));
        else
            std::snprintf(hint, sizeof hint, "; the port refused %d baud with %d data bits",
                          static_cast<int>(f.rate_asked), static_cast<int>(f.bits_asked));
        break;
    default: platform_hint(f, name, hint, sizeof hint); break;
    }
    std::snprintf(text, size, "%s%s", reason, hint);
}

namespace {

// A line for standard error, gathered so that it goes out in one write
// (standard error is unbuffered: a character at a time would be a write
// each, and could interleave with other programs' output).
struct line_buffer {
    char text[4096];
    std::size_t used;
};

void add(line_buffer *line, const char *text, bool escape)
{
    for (const char *p = text; *p; ++p) {
        if (line->used + 4 >= sizeof line->text) {
            std::fwrite(line->text, 1, line->used, stderr);
            line->used = 0;
        }
        const unsigned char c = static_cast<unsigned char>(*p);
        if (escape && (c < 0x20 || c == 0x7f))
            line->used += static_cast<std::size_t>(
                std::snprintf(line->text + line->used, 5, "\\x%02x", c));
        else
            line->text[line->used++] = *p;
    }
}

}  // namespace

void print_reason_line(const char *name, const char *text)
{
    static line_buffer line;
    line.used = 0;
    std::fflush(stdout);
    add(&line, "vesklo: ", false);
    add(&line, shown_name(name), true);
    add(&line, ": ", false);
    add(&line, text, true);
    add(&line, "\n", false);
    std::fwrite(line.text, 1, line.used, stderr);
}

void tell_stalled(const char *name)
{
    static bool told = false;
    if (told) return;
    told = true;
    char text[300];
    std::snprintf(text, sizeof text,
                  "the port has taken no data for %d s: the receiver may not be ready (CTS off), "
                  "or the cable may have no handshake lines; still waiting (Ctrl-C ends it)",
                  stall_notice_ms / 1000);
    print_reason_line(name, text);
}
