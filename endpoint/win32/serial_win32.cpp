#include "serial_win32.h"

#include <cstdio>
#include <cwchar>

#include "failure_record.h"
#include "held_ports_win32.h"
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

}  // namespace

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
        hold_port(h, name, kept);
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
    while (done < count) {
        DWORD written = 0;
        // WriteFile: BOOL, nonzero on success.
        if (!WriteFile(h, p + done, static_cast<DWORD>(count - done), &written, nullptr)) {
            note_port_failure(GetLastError());
            return -1;
        }
        done += static_cast<std::int32_t>(written);
        if (written > 0) continue;
        // The write timed out after 5 s with nothing taken; it is tried
        // again while the port is there.
        COMSTAT status = {};
        if (!port_present(h, &status)) return -1;
        tell_stalled(held_port_name(h));
    }
    return count;
}

bool port_close(HANDLE h)
{
    const bool drained = drain(h);
    if (drained) Sleep(100);
    // Ctrl-C purges the port up to here.
    forget_port(h);
    // CloseHandle: BOOL, nonzero on success.
    if (CloseHandle(h)) return drained;
    if (drained) note_failure(cause_system, GetLastError());
    return false;
}
