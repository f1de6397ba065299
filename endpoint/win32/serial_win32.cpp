#include "serial_win32.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "adapter_win32.h"
#include "com_name.h"
#include "failure_record.h"
#include "held_ends_win32.h"
#include "line_settings_win32.h"
#include "port_policy.h"
#include "reason_text.h"

namespace {

// The errors with which a port that went away (a USB adapter pulled out,
// the far side of a pseudo-terminal under Wine closed) fails what is asked
// of it once it is open.
bool went_away(DWORD error)
{
    switch (error) {
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_INVALID_HANDLE: return true;
    default: return false;
    }
}

// Notes the failure of an operation on a port with error: a port that went
// away hung up. An operation that the console handler cancelled or purged
// is no failure: the run is ending.
void note_port_failure(DWORD error)
{
    stop_if_ending();
    note_failure(went_away(error) ? cause_hung_up : cause_system, error);
}

// Returns true, with *status filled, when the port h still answers;
// otherwise notes that it hung up.
bool port_present(HANDLE h, COMSTAT *status)
{
    DWORD errors = 0;
    if (ClearCommError(h, &errors, status)) return true;
    const DWORD error = GetLastError();
    stop_if_ending();
    note_failure(cause_hung_up, error);
    return false;
}

// A port that has gone (a USB adapter pulled out, the far side of a
// pseudo-terminal under Wine closed) can read 0 bytes like the silence that
// ends a receive. ClearCommError fails on it, or the 0 came long before
// the quiet time could have passed (before the first byte a read has no
// time limit at all, so any 0 is early); the system then has no error to
// give, and the device is taken for disconnected.
bool port_gone(HANDLE h, ULONGLONG read_ms)
{
    COMSTAT status = {};
    if (!port_present(h, &status)) return true;
    if (read_ms >= static_cast<ULONGLONG>(quiet_end_ms) * 3 / 4) return false;
    note_failure(cause_hung_up, ERROR_DEVICE_NOT_CONNECTED);
    return true;
}

// How long a port may take nothing before the stall is told: a slow line
// may take nothing while its chip's buffer empties.
int stall_after_ms(const endpoint *port)
{
    return stall_notice_ms + uart_buffer_ms(port->uart, port->rate);
}

// Waits until the output queue of the port h, called name, is empty,
// looking again every progress_check_ms: a port opened without overlap
// cannot wait for EV_TXEMPTY with a time limit, and a line that takes
// nothing must be told. When the queue has not shrunk for stall_ms, says so
// once, as a send does, and waits on. Returns false, with the failure
// noted, when the port cannot tell or went away meanwhile.
bool drain(HANDLE h, const char *name, int stall_ms)
{
    DWORD least = MAXDWORD;
    ULONGLONG progress = GetTickCount64();
    for (;;) {
        COMSTAT status = {};
        if (!port_present(h, &status)) return false;
        if (status.cbOutQue == 0) return true;
        const ULONGLONG now = GetTickCount64();
        if (status.cbOutQue < least) {
            least = status.cbOutQue;
            progress = now;
        } else if (now - progress >= static_cast<ULONGLONG>(stall_ms)) {
            tell_stalled(name);
        }
        Sleep(progress_check_ms);
    }
}

// The room for a DOS device name, and for the device behind it, in
// characters.
constexpr DWORD device_max = 1024;

// Writes into dos_name the DOS device name that the open of name reaches,
// without the colon that may close it: for a port's name, the port it
// spells (com10 for com10.); for any other, the device that
// GetFullPathNameW reads in it (AUX, COM1 for sub\COM1), if any. Returns
// false for a file, and for a name beginning with COM that spells no port,
// whose open fails.
bool dos_device_of(const char *name, wchar_t *dos_name)
{
    static wchar_t wide[path_max], full[path_max];
    const char *spelling = name;
    std::size_t length = 0;
    const wchar_t *found = wide;
    int found_length = 0;
    // MultiByteToWideChar: the count written, 0 on failure. GetFullPathNameW:
    // the length of the path, or the room it needs when it does not fit; 0
    // on failure.
    if (spells_com_port(name, &spelling, &length)) {
        found_length = length == 0 || length >= device_max
                           ? 0
                           : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, spelling,
                                                 static_cast<int>(length), wide, device_max);
    } else if (!taken_for_com_port(name) &&
               MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, path_max) != 0) {
        const DWORD n = GetFullPathNameW(wide, path_max, full, nullptr);
        const bool device = n > 4 && n < path_max &&
                            (std::wcsncmp(full, L"\\\\.\\", 4) == 0 ||
                             std::wcsncmp(full, L"\\\\?\\", 4) == 0) &&
                            !std::wcspbrk(full + 4, L"\\/");
        found = full + 4;
        found_length = device ? static_cast<int>(n) - 4 : 0;
    }
    if (found_length > 0 && found[found_length - 1] == L':') --found_length;
    if (found_length <= 0 || found_length >= static_cast<int>(device_max)) return false;
    std::wmemcpy(dos_name, found, static_cast<std::size_t>(found_length));
    dos_name[found_length] = L'\0';
    return true;
}

// Writes into device the device that the DOS device name leads to
// (\Device\Serial0 for COM1), following a name that leads to another (AUX
// to COM1) a few steps. Returns false when it leads nowhere known.
bool device_behind(const wchar_t *dos_name, wchar_t *device)
{
    wchar_t name[device_max];
    std::wcscpy(name, dos_name);
    for (int step = 0; step < 4; ++step) {
        // QueryDosDeviceW: the characters stored, 0 on failure.
        if (QueryDosDeviceW(name, device, device_max) == 0) return false;
        const wchar_t *next = std::wcsncmp(device, L"\\DosDevices\\", 12) == 0 ? device + 12
                              : std::wcsncmp(device, L"\\??\\", 4) == 0       ? device + 4
                                                                                : nullptr;
        if (!next) return true;
        if (std::wcslen(next) >= device_max) return false;
        std::wcscpy(name, next);
    }
    return true;
}

}  // namespace

bool to_wide(const char *name, wchar_t *path)
{
    // MultiByteToWideChar: the count written, 0 on failure.
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, path, path_max) != 0)
        return true;
    note_failure(cause_system, GetLastError());
    return false;
}

bool spells_com_port(const char *name, const char **spelling, std::size_t *length)
{
    const char *at = name;
    std::size_t n = std::strlen(name);
    if (std::strncmp(name, "\\\\.\\", 4) == 0 || std::strncmp(name, "\\\\?\\", 4) == 0) {
        at += 4;
        n -= 4;
    } else if (std::strpbrk(name, "\\/")) {
        return false;
    } else {
        while (n > 0 && (name[n - 1] == ' ' || name[n - 1] == '.')) --n;
    }
    com_name com;
    if (!parse_com_name(at, n, &com)) return false;
    *spelling = at;
    *length = n;
    return true;
}

bool taken_for_com_port(const char *name)
{
    const char *spelling;
    std::size_t length;
    return std::strncmp(name, "COM", 3) == 0 || spells_com_port(name, &spelling, &length);
}

bool leads_to_com_device(const char *name)
{
    wchar_t dos_name[device_max];
    char narrow[device_max];
    com_name com;
    // WideCharToMultiByte: the bytes written with the NUL, 0 on failure.
    if (!dos_device_of(name, dos_name)) return false;
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, dos_name, -1, narrow, device_max, nullptr, nullptr);
    return n > 1 && parse_com_name(narrow, static_cast<std::size_t>(n - 1), &com);
}

long com_number_of(const char *name)
{
    static wchar_t dos_name[device_max], device[device_max];
    char narrow[device_max];
    com_name com;
    if (!dos_device_of(name, dos_name)) return 0;
    for (int step = 0; step < 4; ++step) {
        // WideCharToMultiByte: the bytes written with the NUL, 0 on failure.
        const int n =
            WideCharToMultiByte(CP_UTF8, 0, dos_name, -1, narrow, device_max, nullptr, nullptr);
        if (n > 1 && parse_com_name(narrow, static_cast<std::size_t>(n - 1), &com))
            return com.number;
        // QueryDosDeviceW: the characters stored, 0 on failure.
        if (QueryDosDeviceW(dos_name, device, device_max) == 0) return 0;
        const wchar_t *next = std::wcsncmp(device, L"\\DosDevices\\", 12) == 0 ? device + 12
                              : std::wcsncmp(device, L"\\??\\", 4) == 0       ? device + 4
                                                                                : nullptr;
        if (!next || std::wcslen(next) >= device_max) return 0;
        std::wmemmove(dos_name, next, std::wcslen(next) + 1);
    }
    return 0;
}

bool port_held_already(const char *name, const endpoint *other)
{
    static wchar_t wanted_name[device_max], held_name[device_max], wanted[device_max],
        held[device_max];
    if (!other || other->handle == invalid_handle || !other->port) return false;
    return dos_device_of(name, wanted_name) && dos_device_of(other->name, held_name) &&
           device_behind(wanted_name, wanted) && device_behind(held_name, held) &&
           _wcsicmp(wanted, held) == 0;
}

HANDLE open_device(const wchar_t *path)
{
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool has_line_settings(HANDLE h)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(h, &dcb) != 0;
}

endpoint com_open(const char *name, std::int32_t baud_rate, endpoint_role role,
                  const endpoint *other)
{
    static wchar_t path[path_max];
    const endpoint failed = {invalid_handle, name, false};
    // A name beginning with COM that spells no port (COMPILE.BIN) is sought
    // as a device all the same, and found nowhere.
    const char *spelling = name;
    std::size_t length = std::strlen(name);
    spells_com_port(name, &spelling, &length);
    if (length > 3 && spelling[length - 1] == ':') --length;
    std::wcscpy(path, L"\\\\.\\");
    // MultiByteToWideChar: the count written, 0 on failure.
    const int n = length == 0 ? 0
                              : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, spelling,
                                                    static_cast<int>(length), path + 4,
                                                    path_max - 5);
    if (n == 0) {
        const DWORD error = GetLastError();
        note_failure(cause_no_such_port,
                     error == ERROR_INSUFFICIENT_BUFFER ? ERROR_FILENAME_EXCED_RANGE : error);
        return failed;
    }
    path[4 + n] = L'\0';
    const HANDLE h = open_device(path);
    if (h != INVALID_HANDLE_VALUE && has_line_settings(h))
        return port_take(reinterpret_cast<endpoint_handle>(h), name, baud_rate, role, other);
    const DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE) {
        // A COM name led to a device that is not a port (one that Wine
        // knows with nothing behind it answers so).
        CloseHandle(h);
        note_failure(cause_no_such_port, error);
        return failed;
    }
    // A port that exists but is held by another program is refused with
    // "access denied".
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    note_failure(missing ? cause_no_such_port
                 : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                     ? cause_in_use
                     : cause_system,
                 error);
    return failed;
}

endpoint port_take(endpoint_handle handle, const char *name, std::int32_t baud_rate,
                   endpoint_role, const endpoint *)
{
    const HANDLE h = reinterpret_cast<HANDLE>(handle);
    endpoint port = {handle, name, true};
    if (configure_port(h, baud_rate, &port.kept)) {
        // The chip of the adapter behind the port, else a 16550: the close
        // waits for its buffer at the line rate.
        port.uart = port_uart(com_number_of(name));
        port.rate = baud_rate;
        hold_port(h);
        return port;
    }
    CloseHandle(h);
    port.handle = invalid_handle;
    return port;
}

std::int32_t port_read(endpoint *port, void *buffer, std::int32_t count)
{
    const HANDLE h = reinterpret_cast<HANDLE>(port->handle);
    const ULONGLONG started = GetTickCount64();
    DWORD got = 0;
    if (!ReadFile(h, buffer, static_cast<DWORD>(count), &got, nullptr)) {
        note_port_failure(GetLastError());
        return -1;
    }
    if (got > 0 && !port->data_arrived) {
        port->data_arrived = true;
        end_input_on_silence(h);
    }
    return got == 0 && port_gone(h, GetTickCount64() - started) ? -1
                                                                 : static_cast<std::int32_t>(got);
}

std::int32_t port_write(endpoint *port, const void *buffer, std::int32_t count)
{
    const HANDLE h = reinterpret_cast<HANDLE>(port->handle);
    const char *p = static_cast<const char *>(buffer);
    std::int32_t done = 0;
    // When the port last took data, as far as is known: a call follows the
    // write that completed the chunk before, or begins the send. A write
    // that took bytes is timed at its return, which is never before it took
    // them, so a stall is never told sooner than 5 s after the last byte.
    ULONGLONG progress = GetTickCount64();
    while (done < count) {
        DWORD written = 0;
        // The write returns after progress_check_ms with what the port
        // took by then.
        if (!WriteFile(h, p + done, static_cast<DWORD>(count - done), &written, nullptr)) {
            note_port_failure(GetLastError());
            return -1;
        }
        done += static_cast<std::int32_t>(written);
        port->sent += written;
        if (written > 0) {
            progress = GetTickCount64();
            continue;
        }
        // Nothing taken: tried again while the port is there.
        COMSTAT status = {};
        if (!port_present(h, &status)) return -1;
        if (GetTickCount64() - progress >= static_cast<ULONGLONG>(stall_after_ms(port)))
            tell_stalled(port->name);
    }
    return count;
}

bool port_close(const endpoint *port)
{
    const HANDLE h = reinterpret_cast<HANDLE>(port->handle);
    const bool drained = drain(h, port->name, stall_after_ms(port));
    if (drained) Sleep(static_cast<DWORD>(uart_close_pause_ms(port->uart, port->rate, port->sent)));
    // Ctrl-C purges the port up to here: a queue that its purge emptied is
    // no finished send.
    stop_if_ending();
    forget_port(h);
    if (CloseHandle(h)) return drained;
    if (drained) note_failure(cause_system, GetLastError());
    return false;
}
