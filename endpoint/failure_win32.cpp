// The reasons behind endpoint failures, in the words of the system
// (FormatMessage) and with a hint where the commonest troubles need one.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "endpoint.h"

namespace {

// The system's text for code, without the CR LF that ends it.
void system_text(int code, char *text, std::size_t size)
{
    // FormatMessageA: the length written, 0 on failure.
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, text,
                                   static_cast<DWORD>(size), nullptr);
    if (n == 0) std::snprintf(text, size, "error %d", code);
    std::size_t end = std::strlen(text);
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' '))
        text[--end] = '\0';
}

}  // namespace

void describe_failure(const char *name, char *text, std::size_t size)
{
    (void)name;
    const endpoint_failure f = last_failure();
    char reason[300] = "";
    if (f.code != 0) system_text(f.code, reason, sizeof reason);
    else std::snprintf(reason, sizeof reason, "the device took no data");
    char hint[200] = "";
    switch (f.cause) {
    case cause_no_such_port:
        std::snprintf(hint, sizeof hint, "; no such port: Device Manager lists the COM ports present");
        break;
    case cause_in_use: std::snprintf(hint, sizeof hint, "; in use by another program"); break;
    case cause_same_file:
        std::snprintf(hint, sizeof hint, "; it is the same file as the source");
        break;
    case cause_directory: std::snprintf(hint, sizeof hint, "; it is a directory"); break;
    case cause_rate_refused:
        if (f.rate_actual > 0)
            std::snprintf(hint, sizeof hint, "; the port refused %d baud (it runs at %d)",
                          static_cast<int>(f.rate_asked), static_cast<int>(f.rate_actual));
        else
            std::snprintf(hint, sizeof hint, "; the port refused %d baud",
                          static_cast<int>(f.rate_asked));
        break;
    case cause_hung_up: std::snprintf(hint, sizeof hint, "; the port went away (unplugged?)"); break;
    case cause_system:
    case cause_no_progress: break;
    }
    std::snprintf(text, size, "%s%s", reason, hint);
}
