// The reasons behind endpoint failures on Windows: FormatMessage's words,
// and the hints for ports and directories; names, held as UTF-8, shown in
// the ANSI code page.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "com_name.h"
#include "reason_text.h"

namespace {

// The system's text for code, without the period and CR LF that end it.
void system_text(int code, char *text, std::size_t size)
{
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, text,
                                   static_cast<DWORD>(size), nullptr);
    if (n == 0) std::snprintf(text, size, "error %d", code);
    std::size_t end = std::strlen(text);
    // The closing period too, so that a hint can follow after "; ".
    while (end > 0 && std::strchr("\r\n .", text[end - 1])) text[--end] = '\0';
}

// The longest command line, and so the longest name, in characters.
constexpr int line_max = 32767;

// Whether name is COM and a number, with or without a closing colon: the
// name of a port, not a file that only begins with COM.
bool spells_port_number(const char *name)
{
    com_name com;
    return parse_com_name(name, std::strlen(name), &com);
}

}  // namespace

void system_reason(const endpoint_failure &f, char *text, std::size_t size)
{
    if (f.code != 0) system_text(f.code, text, size);
    else std::snprintf(text, size, "the device took no data");
}

void platform_hint(const endpoint_failure &f, const char *name, char *hint, std::size_t size)
{
    // A file such as COMPILE.BIN is reached through a path.
    if (f.cause == cause_no_such_port && std::strncmp(name, "COM", 3) == 0 &&
        !spells_port_number(name))
        std::snprintf(hint, size,
                      "; no such port: names beginning with COM are taken as ports; name such a "
                      "file .\\%s",
                      shown_name(name));
    else if (f.cause == cause_no_such_port)
        std::snprintf(hint, size, "; no such port: Device Manager lists the COM ports present");
    else if (f.cause == cause_directory)
        std::snprintf(hint, size, "; it is a directory");
    else if (f.cause == cause_hung_up)
        std::snprintf(hint, size, "; the port went away (unplugged?)");
}

const char *shown_name(const char *name)
{
    static wchar_t wide[line_max + 1];
    // Up to two bytes a character in a double-byte code page.
    static char shown[2 * (line_max + 1)];
    // MultiByteToWideChar, WideCharToMultiByte: the count written, 0 on
    // failure. The default flags let a best-fit look-alike or '?' stand in
    // for a character that the code page lacks.
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, line_max + 1) == 0 ||
        WideCharToMultiByte(CP_ACP, 0, wide, -1, shown, static_cast<int>(sizeof shown), nullptr,
                            nullptr) == 0)
        return name;
    return shown;
}
