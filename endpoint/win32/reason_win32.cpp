// The reasons behind endpoint failures on Windows: FormatMessage's words,
// and the hints for ports and directories; names, held as UTF-8, shown in
// the ANSI code page.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "reason_text.h"
#include "serial_win32.h"

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

// Writes into text, size bytes in the console's code page, a name that
// reaches the file called name on every version of Windows: the \\?\ form
// of its full path, which none reads as a device (.\COM1.txt is COM1 to
// Windows 10 and Wine), its last part without the blanks and dots that
// Windows would drop from it. Returns false where no such name can be
// made, or shown whole: the code page lacks one of its characters, or the
// text has no room for it.
bool file_name_for(const char *name, char *text, std::size_t size)
{
    static wchar_t wide[line_max + 1], folder[line_max + 1], path[2 * line_max + 16];
    // MultiByteToWideChar, WideCharToMultiByte: the count written, 0 on
    // failure. GetFullPathNameW: the length of the path, or the room it
    // needs when it does not fit; 0 on failure.
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, line_max + 1) == 0)
        return false;
    wchar_t *last = wide;
    for (wchar_t *p = wide; *p; ++p)
        if (*p == L'\\' || *p == L'/') last = p + 1;
    std::size_t last_length = std::wcslen(last);
    while (last_length > 0 && (last[last_length - 1] == L' ' || last[last_length - 1] == L'.'))
        --last_length;
    if (last_length == 0) return false;
    // The folder alone is made a full path: of the whole name, the system
    // could make a device.
    const wchar_t *in = L".";
    if (last != wide) {
        last[-1] = L'\0';
        in = wide;
    }
    const DWORD n = GetFullPathNameW(in, line_max + 1, folder, nullptr);
    if (n == 0 || n > line_max || std::wcsncmp(folder, L"\\\\.\\", 4) == 0 ||
        std::wcsncmp(folder, L"\\\\?\\", 4) == 0)
        return false;
    const bool unc = std::wcsncmp(folder, L"\\\\", 2) == 0;
    std::wcscpy(path, unc ? L"\\\\?\\UNC\\" : L"\\\\?\\");
    std::wcscat(path, unc ? folder + 2 : folder);
    std::size_t length = std::wcslen(path);
    if (path[length - 1] != L'\\') path[length++] = L'\\';
    std::wmemcpy(path + length, last, last_length);
    path[length + last_length] = L'\0';
    // A look-alike in place of a missing character would name another file.
    const bool utf8 = GetACP() == CP_UTF8;
    BOOL lacking = FALSE;
    const int written =
        WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, path, -1, text,
                            static_cast<int>(size), nullptr, utf8 ? nullptr : &lacking);
    return written != 0 && !lacking;
}

}  // namespace

void system_reason(const endpoint_failure &f, char *text, std::size_t size)
{
    if (f.code != 0) system_text(f.code, text, size);
    else std::snprintf(text, size, "the device took no data");
}

void platform_hint(const endpoint_failure &f, const char *name, char *hint, std::size_t size)
{
    // A file such as COMPILE.BIN is reached through its full path.
    const char *spelling;
    std::size_t length;
    static char file_name[400];
    if (f.cause == cause_no_such_port && std::strncmp(name, "COM", 3) == 0 &&
        !spells_com_port(name, &spelling, &length)) {
        const char *taken = "; no such port: names beginning with COM are taken as ports";
        const int written = file_name_for(name, file_name, sizeof file_name)
                                ? std::snprintf(hint, size, "%s; name such a file %s", taken,
                                                file_name)
                                : -1;
        if (written < 0 || static_cast<std::size_t>(written) >= size)
            std::snprintf(hint, size, "%s", taken);
    } else if (f.cause == cause_no_such_port)
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
