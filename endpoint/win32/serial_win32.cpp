#include "serial_win32.h"

#include <cstdio>
#include <cwchar>

#include "failure_record.h"
#include "held_ends_win32.h"
#include "line_settings_win32.h"
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
    // ClearCommError: BOOL, nonzero on success.
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
    if (read_ms >= quiet_end_ms * 3 / 4) return false;
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
        // WaitCommEvent: BOOL, nonzero on success.
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

bool port_held_already(const wchar_t *path)
{
    static wchar_t wanted[device_max], held[device_max], held_path[32768];
    if (!held_port_name_at(0) && !held_port_name_at(1)) return false;
    if (!device_behind(path, wanted)) return false;
    for (int slot = 0; slot < 2; ++slot) {
        const char *name = held_port_name_at(slot);
        // MultiByteToWideChar: the count written, 0 on failure.
        if (name && MultiByteToWideChar(CP_UTF8, 0, name, -1, held_path, 32768) != 0 &&
            device_behind(held_path, held) && _wcsicmp(wanted, held) == 0)
            return true;
    }
    return false;
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
    // GetCommState: BOOL, nonzero on success.
    return GetCommState(h, &dcb) != 0;
}

HANDLE com_open(const wchar_t *name_w, const char *name, std::int32_t baud_rate)
{
    // The longest path the wide functions take, with its NUL.
    static wchar_t path[32768];
    std::size_t length = std::wcslen(name_w);
    if (length > 3 && name_w[length - 1] == L':') --length;
    if (length + 5 > sizeof path / sizeof *path) {
        note_failure(cause_no_such_port, ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    std::wcscpy(path, L"\\\\.\\");
    std::wcsncat(path, name_w, length);
    const HANDLE h = open_device(path);
    if (h != INVALID_HANDLE_VALUE) return port_take(h, name, baud_rate);
    // A port that exists but is held by another program is refused with
    // "access denied".
    const DWORD error = GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    note_failure(missing ? cause_no_such_port
                 : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                     ? cause_in_use
                     : cause_system,
                 error);
    return INVALID_HANDLE_VALUE;
}

HANDLE port_take(HANDLE h, const char *name, std::int32_t baud_rate)
{
    kept_settings kept = {0, 0, false};
    if (configure_port(h, baud_rate, &kept)) {
        hold_end(h, name, kept);
        return h;
    }
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
}

std::int32_t port_read(HANDLE h, void *buffer, std::int32_t count)
{
    const ULONGLONG started = GetTickCount64();
    DWORD got = 0;
    // ReadFile: BOOL, nonzero on success.
    if (!ReadFile(h, buffer, static_cast<DWORD>(count), &got, nullptr)) {
        note_port_failure(GetLastError());
        return -1;
    }
    if (got > 0) note_data_arrived(h);
    return got == 0 && port_gone(h, GetTickCount64() - started) ? -1
                                                                 : static_cast<std::int32_t>(got);
}

std::int32_t port_write(HANDLE h, const void *buffer, std::int32_t count)
{
    const char *p = static_cast<const char *>(buffer);
    std::int32_t done = 0;
    // When the port last took data, as far as is known: a call follows the
    // write that completed the chunk before, or begins the send. A write
    // that took bytes is timed at its return, which is never before it took
    // them, so a stall is never told sooner than 5 s after the last byte.
    ULONGLONG progress = GetTickCount64();
    while (done < count) {
        DWORD written = 0;
        // WriteFile: BOOL, nonzero on success; it returns after
        // write_check_ms with what the port took by then.
        if (!WriteFile(h, p + done, static_cast<DWORD>(count - done), &written, nullptr)) {
            note_port_failure(GetLastError());
            return -1;
        }
        done += static_cast<std::int32_t>(written);
        if (written > 0) {
            progress = GetTickCount64();
            continue;
        }
        // Nothing taken: tried again while the port is there.
        COMSTAT status = {};
        if (!port_present(h, &status)) return -1;
        if (GetTickCount64() - progress >= stall_notice_ms) tell_stalled(held_port_name(h));
    }
    return count;
}

bool port_close(HANDLE h)
{
    const bool drained = drain(h);
    if (drained) Sleep(100);
    // Ctrl-C purges the port up to here.
    forget_end(h);
    // CloseHandle: BOOL, nonzero on success.
    if (CloseHandle(h)) return drained;
    if (drained) note_failure(cause_system, GetLastError());
    return false;
}
