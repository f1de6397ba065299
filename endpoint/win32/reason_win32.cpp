// The reasons behind endpoint failures on Windows: FormatMessage's words,
// and the hints for ports and directories.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "reason_text.h"

namespace {

// The system's text for code, without the period and CR LF that end it.
void system_text(int code, char *text, std::size_t size)
{
    // FormatMessageA: the length written, 0 on failure.
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, text,
                                   static_cast<DWORD>(size), nullptr);
    if (n == 0) std::snprintf(text, size, "error %d", code);
    std::size_t end = std::strlen(text);
    // The closing period too, so that a hint can follow after "; ".
    while (end > 0 && std::strchr("\r\n .", text[end - 1])) text[--end] = '\0';
}

}  // namespace

void system_reason(const endpoint_failure &f, char *text, std::size_t size)
{
    if (f.code != 0) system_text(f.code, text, size);
    else std::snprintf(text, size, "the device took no data");
}

void platform_hint(const endpoint_failure &f, const char *, char *hint, std::size_t size)
{
    if (f.cause == cause_no_such_port)
        std::snprintf(hint, size, "; no such port: Device Manager lists the COM ports present");
    else if (f.cause == cause_directory)
        std::snprintf(hint, size, "; it is a directory");
    else if (f.cause == cause_hung_up)
        std::snprintf(hint, size, "; the port went away (unplugged?)");
}
