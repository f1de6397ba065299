// Endpoints over kernel32. Disk files and ports are opened with share mode
// 0, so a second open of either fails while this run holds it.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "endpoint.h"
#include "failure_record.h"

namespace {

HANDLE handle_of(endpoint_handle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

endpoint_handle from_handle(HANDLE h)
{
    return reinterpret_cast<endpoint_handle>(h);
}

// The ports that this run holds (at most its two ends), noted at open so
// that a disk read needs no call to tell the kind, and so that Ctrl-C can
// reach them from the thread that the console handler runs on.
std::atomic<HANDLE> open_ports[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
const char *port_names[2];

// The full paths of the disk files this run holds, to tell a sharing
// violation caused by the run's other end from another program's.
char held_paths[2][MAX_PATH];
int held_count = 0;

void note_held(const char *name)
{
    // GetFullPathNameA: the length written, 0 on failure or too long a path.
    const DWORD n = GetFullPathNameA(name, MAX_PATH, held_paths[held_count % 2], nullptr);
    if (n > 0 && n < MAX_PATH) ++held_count;
}

bool held_already(const char *name)
{
    char path[MAX_PATH];
    const DWORD n = GetFullPathNameA(name, MAX_PATH, path, nullptr);
    if (n == 0 || n >= MAX_PATH) return false;
    for (int i = 0; i < held_count && i < 2; ++i)
        if (lstrcmpiA(held_paths[i], path) == 0) return true;
    return false;
}

bool is_open_port(HANDLE h)
{
    return open_ports[0] == h || open_ports[1] == h;
}

// Returns true when h was a port of this run.
bool forget_port(HANDLE h)
{
    bool was_port = false;
    for (std::atomic<HANDLE> &p : open_ports) {
        HANDLE expected = h;
        if (p.compare_exchange_strong(expected, INVALID_HANDLE_VALUE)) was_port = true;
    }
    return was_port;
}

// Ctrl-C, Ctrl-Break and a closed console end the run. Output that a port
// still holds is thrown away, so that ending does not wait for a line that
// may never take it and the port is free at once.
BOOL WINAPI purge_ports(DWORD)
{
    for (std::atomic<HANDLE> &p : open_ports) {
        const HANDLE h = p.load();
        if (h != INVALID_HANDLE_VALUE) PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
    }
    return FALSE;  // the next handler, the system's, ends the process
}

void note_port(HANDLE h, const char *name)
{
    static bool handler_set = false;
    if (!handler_set) handler_set = SetConsoleCtrlHandler(purge_ports, TRUE) != 0;
    const int slot = open_ports[0] == INVALID_HANDLE_VALUE ? 0 : 1;
    port_names[slot] = name;
    open_ports[slot] = h;
}

// The name of the port h, or "" when h is no port of this run.
const char *port_name(HANDLE h)
{
    return open_ports[0] == h ? port_names[0] : open_ports[1] == h ? port_names[1] : "";
}

// A source must exist and is only read; a destination is created or
// emptied. CREATE_ALWAYS empties a file only when the exclusive open
// succeeds, so a file named as both ends is left intact.
endpoint_handle disk_open(const char *name, endpoint_role role)
{
    const bool source = role == role_source;
    const HANDLE h = CreateFileA(name, source ? GENERIC_READ : GENERIC_WRITE, 0, nullptr,
                                 source ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
    if (h != INVALID_HANDLE_VALUE) return from_handle(h);
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        note_failure(cause_directory, error);
    else if (error == ERROR_SHARING_VIOLATION)
        note_failure(held_already(name) ? cause_same_file : cause_in_use, error);
    else
        note_failure(cause_system, error);
    return invalid_handle;
}

// Read time-outs in milliseconds.
constexpr DWORD gather_pause_ms = 50;
constexpr DWORD quiet_end_ms = 2000;

// Reads wait without limit for the first byte; once data has arrived (see
// file_read) they end after 2 s of silence. A read returns what has come
// when the line pauses for 50 ms between bytes.
COMMTIMEOUTS first_read_timeouts()
{
    COMMTIMEOUTS t = {};
    t.ReadIntervalTimeout = gather_pause_ms;
    return t;
}

bool configure_port(HANDLE h, std::int32_t baud_rate)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    // GetCommState, SetCommState, SetCommTimeouts: BOOL, nonzero on success.
    if (!GetCommState(h, &dcb)) {
        note_failure(cause_system, GetLastError());
        return false;
    }
    if (baud_rate <= 0) {
        note_rate_refused(ERROR_INVALID_PARAMETER, baud_rate, dcb.BaudRate);
        return false;
    }
    dcb.BaudRate = static_cast<DWORD>(baud_rate);
    dcb.ByteSize = baud_rate == 115200 ? 7 : 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    // XON/XOFF would swallow every 0x11 and 0x13 of the data; RTS/CTS is
    // the flow control.
    dcb.fOutX = 0;
    dcb.fInX = 0;
    if (!SetCommState(h, &dcb)) {
        const DWORD error = GetLastError();
        note_rate_refused(error, baud_rate, GetCommState(h, &dcb) ? dcb.BaudRate : 0);
        return false;
    }
    COMMTIMEOUTS t = first_read_timeouts();
    if (!SetCommTimeouts(h, &t)) {
        note_failure(cause_system, GetLastError());
        return false;
    }
    SetCommMask(h, EV_TXEMPTY);
    return true;
}

// Opens path, a communications device called name, and configures it.
endpoint_handle port_open(const char *path, const char *name, std::int32_t baud_rate)
{
    const HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // A port that exists but is held by another program is refused
        // with "access denied".
        const DWORD error = GetLastError();
        const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        note_failure(missing ? cause_no_such_port
                     : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                         ? cause_in_use
                         : cause_system,
                     error);
        return invalid_handle;
    }
    if (configure_port(h, baud_rate)) {
        note_port(h, name);
        return from_handle(h);
    }
    CloseHandle(h);
    return invalid_handle;
}

// COMn is opened as \\.\COMn, which also reaches ports above COM9; the
// colon of the spelling COM1: is dropped.
endpoint_handle com_open(const char *name, std::int32_t baud_rate)
{
    char path[300];
    std::size_t length = std::strlen(name);
    if (length > 3 && name[length - 1] == ':') --length;
    const int n = std::snprintf(path, sizeof path, "\\\\.\\%.*s", static_cast<int>(length), name);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) {
        note_failure(cause_no_such_port, ERROR_FILENAME_EXCED_RANGE);
        return invalid_handle;
    }
    return port_open(path, name, baud_rate);
}

// GetFileType and GetCommState: a character device that has line
// settings. The system's device names are case-insensitive, so com1, Com1
// and \\.\COM1 name a port as surely as COM1 does.
bool is_comm_device(HANDLE h)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    return GetFileType(h) == FILE_TYPE_CHAR && GetCommState(h, &dcb) != 0;
}

// After the first data the port's read time-outs switch to ending a read
// after 2 s of silence; the time-outs themselves record that data came.
void note_data_arrived(HANDLE h)
{
    COMMTIMEOUTS t = {};
    if (!GetCommTimeouts(h, &t) || t.ReadTotalTimeoutConstant != 0) return;
    t.ReadTotalTimeoutConstant = quiet_end_ms;
    SetCommTimeouts(h, &t);
}

std::int32_t read_some(HANDLE h, void *buffer, std::int32_t count)
{
    DWORD got = 0;
    // ReadFile: BOOL, nonzero on success.
    if (ReadFile(h, buffer, static_cast<DWORD>(count), &got, nullptr))
        return static_cast<std::int32_t>(got);
    note_failure(cause_system, GetLastError());
    return -1;
}

// A port that has gone (a USB adapter pulled out, the far side of a
// pseudo-terminal under Wine closed) can read 0 bytes like the silence that
// ends a receive. ClearCommError fails on it, or the 0 came long before
// the quiet time could have passed (before the first byte a read has no
// time limit at all, so any 0 is early).
bool port_gone(HANDLE h, ULONGLONG read_ms)
{
    COMSTAT status = {};
    DWORD errors = 0;
    // ClearCommError: BOOL, nonzero on success.
    const bool gone = !ClearCommError(h, &errors, &status) || read_ms < quiet_end_ms * 3 / 4;
    if (gone) note_failure(cause_hung_up, GetLastError());
    return gone;
}

// A port whose far end takes no data (CTS off) blocks a write without
// limit; the user is told once, and the wait goes on.
void tell_if_cts_off(HANDLE h)
{
    static bool told = false;
    DWORD modem = 0;
    // GetCommModemStatus: BOOL, nonzero on success.
    if (told || !GetCommModemStatus(h, &modem) || (modem & MS_CTS_ON)) return;
    told = true;
    std::fprintf(stderr,
                 "vesklo: %s: the port's CTS is off: the receiver may not be ready, or the cable "
                 "may have no handshake lines; still waiting (Ctrl-C ends it)\n",
                 port_name(h));
}

// Waits until the output queue is empty. EV_TXEMPTY is only raised when a
// queue that held bytes empties, so it is awaited only while bytes are
// queued; a port with nothing to send does not wait.
void drain(HANDLE h)
{
    for (int i = 0; i < 1000; ++i) {
        COMSTAT status = {};
        DWORD errors = 0;
        if (!ClearCommError(h, &errors, &status) || status.cbOutQue == 0) return;
        DWORD event = 0;
        if (!WaitCommEvent(h, &event, nullptr)) return;
    }
}

}  // namespace

endpoint_handle file_open(const char *name, std::int32_t baud_rate, endpoint_role role)
{
    if (std::strncmp(name, "COM", 3) == 0) return com_open(name, baud_rate);
    const endpoint_handle h = disk_open(name, role);
    if (h == invalid_handle) return invalid_handle;
    if (is_comm_device(handle_of(h))) {
        // Opened one way, with no line settings: open it again as a port.
        CloseHandle(handle_of(h));
        return port_open(name, name, baud_rate);
    }
    // A directory cannot be opened here without FILE_FLAG_BACKUP_SEMANTICS,
    // but refuse one explicitly all the same.
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle_of(h));
        note_failure(cause_directory, ERROR_DIRECTORY);
        return invalid_handle;
    }
    note_held(name);
    return h;
}

std::int32_t file_read(endpoint_handle handle, void *buffer, std::int32_t count)
{
    const HANDLE h = handle_of(handle);
    if (!is_open_port(h)) return read_some(h, buffer, count);
    const ULONGLONG started = GetTickCount64();
    const std::int32_t got = read_some(h, buffer, count);
    if (got > 0) note_data_arrived(h);
    return got == 0 && port_gone(h, GetTickCount64() - started) ? -1 : got;
}

std::int32_t file_write(endpoint_handle handle, const void *buffer, std::int32_t count)
{
    const char *p = static_cast<const char *>(buffer);
    const HANDLE h = handle_of(handle);
    if (is_open_port(h)) tell_if_cts_off(h);
    std::int32_t done = 0;
    while (done < count) {
        DWORD written = 0;
        // WriteFile: BOOL, nonzero on success. Zero bytes written is no
        // progress, so it fails the write too.
        if (!WriteFile(h, p + done, static_cast<DWORD>(count - done), &written, nullptr)) {
            note_failure(cause_system, GetLastError());
            return -1;
        }
        if (written == 0) {
            note_failure(cause_no_progress, 0);
            return -1;
        }
        done += static_cast<std::int32_t>(written);
    }
    return count;
}

std::int32_t file_size(endpoint_handle handle)
{
    return static_cast<std::int32_t>(GetFileSize(handle_of(handle), nullptr));
}

bool file_close(endpoint_handle handle)
{
    const HANDLE h = handle_of(handle);
    if (forget_port(h)) {
        SetCommMask(h, EV_TXEMPTY);
        drain(h);
        Sleep(100);
    }
    // CloseHandle: BOOL, nonzero on success.
    if (CloseHandle(h)) return true;
    note_failure(cause_system, GetLastError());
    return false;
}
