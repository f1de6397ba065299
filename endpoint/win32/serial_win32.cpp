#include "serial_win32.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

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
// away hung up.
void note_port_failure(DWORD error)
{
    note_failure(went_away(error) ? cause_hung_up : cause_system, error);
}

// Returns true, with *status filled, when the port h still answers;
// otherwise notes that it hung up.
bool port_present(HANDLE h, COMSTAT *status)
{
    DWORD errors = 0;
    if (ClearCommError(h, &errors, status)) return true;
    note_failure(cause_hung_up, GetLastError());
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

// Waits until the output queue is empty. EV_TXEMPTY is only raised when a
// queue that held bytes empties, so it is awaited only while bytes are
// queued; a port with nothing to send does not wait. Returns false, with
// the failure noted, when the port cannot tell or went away meanwhile.
bool drain(HANDLE h)
{
    SetCommMask(h, EV_TXEMPTY);
    for (int round = 0;; ++round) {
        COMSTAT status = {};
        if (!port_present(h, &status)) return false;
        if (status.cbOutQue == 0) return true;
        // An event came while bytes remained: poll, rather than spin on a
        // driver that keeps reporting it.
        if (round > 0) Sleep(10);
        DWORD event = 0;
        if (!WaitCommEvent(h, &event, nullptr)) {
            note_port_failure(GetLastError());
            return false;
        }
    }
}

// The room for the device behind a DOS device name, in characters.
constexpr DWORD device_max = 1024;

// Writes into device the device that the DOS device name at the end of path
// leads to (\Device\Serial0 for COM1), following a name that leads to
// another (AUX to COM1) a few steps. Returns false when it leads nowhere
// known.
bool device_behind(const wchar_t *path, wchar_t *device)
{
    const wchar_t *last = path;
    for (const wchar_t *p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/') last = p + 1;
    std::size_t length = std::wcslen(last);
    if (length > 0 && last[length - 1] == L':') --length;
    wchar_t name[device_max];
    if (length == 0 || length >= device_max) return false;
    std::wcsncpy(name, last, length);
    name[length] = L'\0';
    for (int step = 0; step < 4; ++step) {
        // QueryDosDeviceW: the characters stored, 0 on failure.
        if (QueryDosDeviceW(name, device, device_max) == 0) return false;
        const wchar_t *next = std::wcsncmp(device, L"\\DosDevices\\", 12) == 0 ? device + 12
                              : std::wcsncmp(device, L"\\??\\", 4) == 0       ? device + 4
                                                                                : nullptr;
        if (!next) return true;
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

bool port_held_already(const wchar_t *path, const endpoint *other)
{
    static wchar_t wanted[device_max], held[device_max], held_path[path_max];
    if (!other || other->handle == invalid_handle || !other->port) return false;
    return device_behind(path, wanted) && to_wide(other->name, held_path) &&
           device_behind(held_path, held) && _wcsicmp(wanted, held) == 0;
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
    std::size_t length = std::strlen(name);
    if (length > 3 && name[length - 1] == ':') --length;
    std::wcscpy(path, L"\\\\.\\");
    // MultiByteToWideChar: the count written, 0 on failure.
    const int n = length == 0 ? 0
                              : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name,
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
    if (h != INVALID_HANDLE_VALUE)
        return port_take(reinterpret_cast<endpoint_handle>(h), name, baud_rate, role, other);
    // A port that exists but is held by another program is refused with
    // "access denied".
    const DWORD error = GetLastError();
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
        // No Windows driver is known to wait for its chip: a port of no
        // known adapter waits for a 16550's FIFO at the line rate.
        port.uart = {uart_16550, 0};
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
        // A slow line may take nothing while the chip's buffer empties.
        const int stall_ms = stall_notice_ms + uart_buffer_ms(port->uart, port->rate);
        if (GetTickCount64() - progress >= static_cast<ULONGLONG>(stall_ms))
            tell_stalled(port->name);
    }
    return count;
}

bool port_close(const endpoint *port)
{
    const HANDLE h = reinterpret_cast<HANDLE>(port->handle);
    const bool drained = drain(h);
    if (drained) Sleep(static_cast<DWORD>(uart_close_pause_ms(port->uart, port->rate, port->sent)));
    // Ctrl-C purges the port up to here.
    forget_port(h);
    if (CloseHandle(h)) return drained;
    if (drained) note_failure(cause_system, GetLastError());
    return false;
}
