// Endpoints over kernel32. Disk files and ports are opened with share mode
// 0, so a second open of either fails while this run holds it.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "endpoint.h"

// Asks the mingw-w64 start-up code to expand wildcards in the arguments.
int _dowildcard = -1;

// Both "-" and "/" begin an option, as is usual on Windows.
const char option_prefixes[] = "-/";

void console_prepare()
{
    // Each printf reaches the console at once; nothing to change.
}

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

void note_port(HANDLE h)
{
    static bool handler_set = false;
    if (!handler_set) handler_set = SetConsoleCtrlHandler(purge_ports, TRUE) != 0;
    HANDLE expected = INVALID_HANDLE_VALUE;
    if (!open_ports[0].compare_exchange_strong(expected, h)) open_ports[1] = h;
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
    return from_handle(h);
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
    if (baud_rate <= 0) return false;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    // GetCommState, SetCommState, SetCommTimeouts: BOOL, nonzero on success.
    if (!GetCommState(h, &dcb)) return false;
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
    if (!SetCommState(h, &dcb)) return false;
    COMMTIMEOUTS t = first_read_timeouts();
    if (!SetCommTimeouts(h, &t)) return false;
    SetCommMask(h, EV_TXEMPTY);
    return true;
}

// Opens path, a communications device, and configures it.
endpoint_handle port_open(const char *path, std::int32_t baud_rate)
{
    const HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return invalid_handle;
    if (configure_port(h, baud_rate)) {
        note_port(h);
        return from_handle(h);
    }
    const DWORD error = GetLastError();
    CloseHandle(h);
    SetLastError(error);
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
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) return invalid_handle;
    return port_open(path, baud_rate);
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
    if (!ReadFile(h, buffer, static_cast<DWORD>(count), &got, nullptr)) return -1;
    return static_cast<std::int32_t>(got);
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
    return !ClearCommError(h, &errors, &status) || read_ms < quiet_end_ms * 3 / 4;
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
        return port_open(name, baud_rate);
    }
    // A directory cannot be opened here without FILE_FLAG_BACKUP_SEMANTICS,
    // but refuse one explicitly all the same.
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle_of(h));
        return invalid_handle;
    }
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
    std::int32_t done = 0;
    while (done < count) {
        DWORD written = 0;
        // WriteFile: BOOL, nonzero on success. Zero bytes written is no
        // progress, so it fails the write too.
        if (!WriteFile(handle_of(handle), p + done, static_cast<DWORD>(count - done), &written,
                       nullptr) ||
            written == 0)
            return -1;
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
    return CloseHandle(h) != 0;
}
