// Endpoints over kernel32. Disk files and ports are opened with share mode
// 0, so a second open of either fails while this run holds it.
#include <windows.h>

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

// Reads wait without limit for the first byte; once data has arrived (see
// file_read) they end after 2 s of silence. A read returns what has come
// when the line pauses for 50 ms between bytes.
COMMTIMEOUTS first_read_timeouts()
{
    COMMTIMEOUTS t = {};
    t.ReadIntervalTimeout = 50;
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
    if (!SetCommState(h, &dcb)) return false;
    COMMTIMEOUTS t = first_read_timeouts();
    if (!SetCommTimeouts(h, &t)) return false;
    SetCommMask(h, EV_TXEMPTY);
    return true;
}

endpoint_handle port_open(const char *name, std::int32_t baud_rate)
{
    char path[300];
    const int n = std::snprintf(path, sizeof path, "\\\\.\\%s", name);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) return invalid_handle;
    const HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return invalid_handle;
    if (configure_port(h, baud_rate)) return from_handle(h);
    CloseHandle(h);
    return invalid_handle;
}

// SetCommMask: BOOL; refused for a handle that is no communications device.
bool is_port(HANDLE h)
{
    return SetCommMask(h, EV_TXEMPTY) != 0;
}

// After the first data the port's read time-outs switch to ending a read
// after 2 s of silence; the time-outs themselves record that data came.
void note_data_arrived(HANDLE h)
{
    COMMTIMEOUTS t = {};
    if (!GetCommTimeouts(h, &t) || t.ReadTotalTimeoutConstant != 0) return;
    t.ReadTotalTimeoutConstant = 2000;
    SetCommTimeouts(h, &t);
}

std::int32_t read_some(HANDLE h, void *buffer, std::int32_t count)
{
    DWORD got = 0;
    // ReadFile: BOOL, nonzero on success.
    if (!ReadFile(h, buffer, static_cast<DWORD>(count), &got, nullptr)) return -1;
    return static_cast<std::int32_t>(got);
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
    if (std::strncmp(name, "COM", 3) == 0) return port_open(name, baud_rate);
    const endpoint_handle h = disk_open(name, role);
    if (h == invalid_handle) return invalid_handle;
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
    const std::int32_t got = read_some(h, buffer, count);
    if (got > 0 && GetFileType(h) == FILE_TYPE_CHAR) note_data_arrived(h);
    return got;
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
    if (is_port(h)) {
        drain(h);
        Sleep(100);
    }
    // CloseHandle: BOOL, nonzero on success.
    return CloseHandle(h) != 0;
}
