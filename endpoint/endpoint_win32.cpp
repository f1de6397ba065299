// Endpoints over kernel32. Disk files and ports are opened with share mode
// 0, so a second open of either fails while this run holds it. Names arrive
// as UTF-8 and are opened through the wide functions, so that each opens
// the file it spells, whatever the ANSI code page holds.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "../main/console.h"
#include "endpoint.h"

namespace {

HANDLE handle_of(endpoint_handle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

endpoint_handle from_handle(HANDLE h)
{
    return reinterpret_cast<endpoint_handle>(h);
}

// The longest path the wide functions take, with its NUL.
constexpr int path_max = 32768;

endpoint_failure failure = {cause_system, 0, 0, 0};

// Saves the failure of the operation under way, with the system's code.
void note_failure(failure_cause cause, DWORD code)
{
    failure = {cause, static_cast<int>(code), 0, 0};
}

void note_rate_refused(DWORD code, std::int32_t asked, DWORD actual)
{
    failure = {cause_rate_refused, static_cast<int>(code), asked, static_cast<std::int32_t>(actual)};
}

// Converts the UTF-8 name into path. Returns false, with the failure noted,
// when it is no UTF-8 or too long for any path.
bool to_wide(const char *name, wchar_t *path)
{
    // MultiByteToWideChar: the count written, 0 on failure.
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, path, path_max) != 0)
        return true;
    note_failure(cause_system, GetLastError());
    return false;
}

// The errors with which a port that went away (a USB adapter pulled out,
// the far side of a pseudo-terminal under Wine closed) fails what is asked
// of it once it is open; at the open, access denied means another program
// holds the port.
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

// The identity of a file: the same for every path that leads to it (an 8.3
// short name, a \\?\ path, a link), as device and inode are on POSIX.
struct file_identity {
    DWORD volume, index_high, index_low;
};

// The disk files that this run holds, to tell a sharing violation caused by
// the run's other end from another program's.
file_identity held_files[2];
int held_count = 0;

// Returns true with *id set when the system tells h's identity.
bool identity_of(HANDLE h, file_identity *id)
{
    BY_HANDLE_FILE_INFORMATION info;
    // GetFileInformationByHandle: BOOL, nonzero on success.
    if (!GetFileInformationByHandle(h, &info)) return false;
    *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

void note_held(HANDLE h)
{
    if (held_count < 2 && identity_of(h, &held_files[held_count])) ++held_count;
}

// Whether path leads to a file that this run holds. An open without access,
// every share flag and backup semantics is refused by no share mode, and so
// learns the identity of a file that is held exclusively.
bool held_already(const wchar_t *path)
{
    const HANDLE h = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    file_identity id;
    const bool known = identity_of(h, &id);
    CloseHandle(h);
    for (int i = 0; known && i < held_count; ++i)
        if (held_files[i].volume == id.volume && held_files[i].index_high == id.index_high &&
            held_files[i].index_low == id.index_low)
            return true;
    return false;
}

// Whether name spells a COM port, as com3, Com3, \\.\COM3 or COM3: do: its
// last component, without a closing colon, is COM and a number, in any case.
bool names_com_port(const char *name)
{
    const char *last = name;
    for (const char *p = name; *p; ++p)
        if (*p == '\\' || *p == '/') last = p + 1;
    std::size_t length = std::strlen(last);
    if (length > 0 && last[length - 1] == ':') --length;
    if (length < 4 || _strnicmp(last, "com", 3) != 0) return false;
    for (std::size_t i = 3; i < length; ++i)
        if (last[i] < '0' || last[i] > '9') return false;
    return true;
}

// Notes why the open of path (spelled name) failed with error.
void note_open_failure(const wchar_t *path, const char *name, DWORD error)
{
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        note_failure(cause_directory, error);
    else if (error == ERROR_SHARING_VIOLATION)
        note_failure(held_already(path) ? cause_same_file : cause_in_use, error);
    else if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) &&
             names_com_port(name))
        note_failure(cause_no_such_port, error);
    else
        note_failure(cause_system, error);
}

// A source must exist and is only read; a destination is created or
// emptied. CREATE_ALWAYS empties a file only when the exclusive open
// succeeds, so a file named as both ends is left intact.
endpoint_handle disk_open(const wchar_t *path, const char *name, endpoint_role role)
{
    const bool source = role == role_source;
    const HANDLE h = CreateFileW(path, source ? GENERIC_READ : GENERIC_WRITE, 0, nullptr,
                                 source ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
    if (h != INVALID_HANDLE_VALUE) return from_handle(h);
    note_open_failure(path, name, GetLastError());
    return invalid_handle;
}

// The ports that this run holds (at most its two ends), noted at open so
// that a disk read needs no call to tell the kind, and so that Ctrl-C can
// reach them from the thread that the console handler runs on.
std::atomic<HANDLE> open_ports[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
const char *port_names[2];

// The thread that opens the ports and does all I/O on them, for the console
// handler to cancel that I/O; null when it could not be had.
std::atomic<HANDLE> main_thread = nullptr;

bool is_open_port(HANDLE h)
{
    return open_ports[0] == h || open_ports[1] == h;
}

void forget_port(HANDLE h)
{
    for (std::atomic<HANDLE> &p : open_ports) {
        HANDLE expected = h;
        p.compare_exchange_strong(expected, INVALID_HANDLE_VALUE);
    }
}

// Ctrl-C, Ctrl-Break and a closed console end the run. Output that a port
// still holds is thrown away, so that ending does not wait for a line that
// may never take it and the port is free at once. A port opened without
// overlap serializes its I/O, so the purge would wait behind a write or a
// drain blocked on the main thread: that I/O is cancelled first.
BOOL WINAPI purge_ports(DWORD)
{
    const HANDLE thread = main_thread.load();
    if (thread) CancelSynchronousIo(thread);
    for (std::atomic<HANDLE> &p : open_ports) {
        const HANDLE h = p.load();
        if (h != INVALID_HANDLE_VALUE) PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
    }
    return FALSE;  // the next handler, the system's, ends the process
}

void note_port(HANDLE h, const char *name)
{
    static bool handler_set = false;
    if (!handler_set) {
        // GetCurrentThread is a pseudo handle that means the caller, so the
        // handler's thread needs a real one. DuplicateHandle: BOOL.
        HANDLE thread = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                            0, FALSE, DUPLICATE_SAME_ACCESS))
            main_thread = thread;
        handler_set = SetConsoleCtrlHandler(purge_ports, TRUE) != 0;
    }
    const int slot = open_ports[0] == INVALID_HANDLE_VALUE ? 0 : 1;
    port_names[slot] = name;
    open_ports[slot] = h;
}

// The name of the port h, or "" when h is no port of this run.
const char *port_name(HANDLE h)
{
    return open_ports[0] == h ? port_names[0] : open_ports[1] == h ? port_names[1] : "";
}

// Time-outs in milliseconds.
constexpr DWORD gather_pause_ms = 50;
constexpr DWORD quiet_end_ms = 2000;
constexpr DWORD stall_notice_ms = 5000;

// Reads wait without limit for the first byte; once data has arrived (see
// file_read) they end after 2 s of silence. A read returns what has come
// when the line pauses for 50 ms between bytes. A write returns after 5 s
// of the port taking nothing, so that file_write can tell the user.
COMMTIMEOUTS port_timeouts()
{
    COMMTIMEOUTS t = {};
    t.ReadIntervalTimeout = gather_pause_ms;
    t.WriteTotalTimeoutConstant = stall_notice_ms;
    return t;
}

// Changes dcb into the line settings for baud_rate: 7 data bits at exactly
// 115200, 8 at any other rate, no parity, one stop bit, RTS/CTS handshake.
void make_port_settings(DCB *dcb, std::int32_t baud_rate)
{
    dcb->BaudRate = static_cast<DWORD>(baud_rate);
    dcb->ByteSize = baud_rate == 115200 ? 7 : 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fBinary = 1;
    dcb->fParity = 0;
    dcb->fOutxCtsFlow = 1;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fDsrSensitivity = 0;
    dcb->fTXContinueOnXoff = 0;
    dcb->fNull = 0;
    dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    // XON/XOFF would swallow every 0x11 and 0x13 of the data; RTS/CTS is
    // the flow control.
    dcb->fOutX = 0;
    dcb->fInX = 0;
}

// Whether a port that runs at actual makes the rate asked closely enough
// for a UART at the other end: within 2%.
bool rate_close_enough(std::int32_t asked, DWORD actual)
{
    const long long difference = static_cast<long long>(actual) - asked;
    return (difference < 0 ? -difference : difference) * 50 <= asked;
}

// Notes a refused SetCommState with what was asked and what the port kept.
void note_settings_refused(HANDLE h, DWORD code, const DCB &asked)
{
    DCB kept = {};
    kept.DCBlength = sizeof kept;
    // GetCommState: BOOL, nonzero on success.
    const bool known = GetCommState(h, &kept) != 0;
    failure = {cause_settings_refused, static_cast<int>(code),
               static_cast<std::int32_t>(asked.BaudRate),
               known ? static_cast<std::int32_t>(kept.BaudRate) : 0, asked.ByteSize,
               known ? kept.ByteSize : 0};
}

// Applies the line settings and time-outs. Returns false with the failure
// noted; the port may then keep part of what was asked.
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
    make_port_settings(&dcb, baud_rate);
    if (!SetCommState(h, &dcb)) {
        note_settings_refused(h, GetLastError(), dcb);
        return false;
    }
    // A driver can take a rate that it cannot make without a word (Wine
    // leaves a pseudo-terminal at 38400 for a rate it has no name for), so
    // the rate is read back. Data bits are not judged: a pseudo-terminal
    // keeps 8, and the Hispeed code crosses either way.
    if (!GetCommState(h, &dcb)) {
        note_failure(cause_system, GetLastError());
        return false;
    }
    if (!rate_close_enough(baud_rate, dcb.BaudRate)) {
        note_rate_refused(ERROR_INVALID_PARAMETER, baud_rate, dcb.BaudRate);
        return false;
    }
    COMMTIMEOUTS t = port_timeouts();
    if (!SetCommTimeouts(h, &t)) {
        note_failure(cause_system, GetLastError());
        return false;
    }
    SetCommMask(h, EV_TXEMPTY);
    return true;
}

// Opens path for reading and writing, exclusively, as a port is opened.
// Returns the handle, or INVALID_HANDLE_VALUE with GetLastError() set.
HANDLE open_device(const wchar_t *path)
{
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Configures h, the port called name, and makes it one of this run's.
// Returns its endpoint, or invalid_handle with h closed.
endpoint_handle take_port(HANDLE h, const char *name, std::int32_t baud_rate)
{
    if (configure_port(h, baud_rate)) {
        note_port(h, name);
        return from_handle(h);
    }
    CloseHandle(h);
    return invalid_handle;
}

// COMn is opened as \\.\COMn, which also reaches ports above COM9; the
// colon of the spelling COM1: is dropped.
endpoint_handle com_open(const wchar_t *name_w, const char *name, std::int32_t baud_rate)
{
    static wchar_t path[path_max];
    std::size_t length = std::wcslen(name_w);
    if (length > 3 && name_w[length - 1] == L':') --length;
    if (length + 5 > path_max) {
        note_failure(cause_no_such_port, ERROR_FILENAME_EXCED_RANGE);
        return invalid_handle;
    }
    std::wcscpy(path, L"\\\\.\\");
    std::wcsncat(path, name_w, length);
    const HANDLE h = open_device(path);
    if (h != INVALID_HANDLE_VALUE) return take_port(h, name, baud_rate);
    // A port that exists but is held by another program is refused with
    // "access denied".
    const DWORD error = GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    note_failure(missing ? cause_no_such_port
                 : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                     ? cause_in_use
                     : cause_system,
                 error);
    return invalid_handle;
}

// A character device with line settings is a port, however it is spelled
// (com1, \\.\COM1, AUX...); one without (NUL, CON) is written and read as
// a file. The test is made on a handle for reading and writing, as a port
// is opened: a destination's first handle may only write, and Wine refuses
// GetCommState on such a handle. Returns the endpoint, or invalid_handle
// for a port that refused its settings.
endpoint_handle char_device_open(const wchar_t *path, const char *name, std::int32_t baud_rate,
                                 endpoint_role role)
{
    const HANDLE h = open_device(path);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (h != INVALID_HANDLE_VALUE && GetCommState(h, &dcb)) return take_port(h, name, baud_rate);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return disk_open(path, name, role);
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

// Notes the failure of an operation on h with error: a port that went away
// hung up.
void note_io_failure(HANDLE h, DWORD error)
{
    note_failure(is_open_port(h) && went_away(error) ? cause_hung_up : cause_system, error);
}

std::int32_t read_some(HANDLE h, void *buffer, std::int32_t count)
{
    DWORD got = 0;
    // ReadFile: BOOL, nonzero on success.
    if (ReadFile(h, buffer, static_cast<DWORD>(count), &got, nullptr))
        return static_cast<std::int32_t>(got);
    note_io_failure(h, GetLastError());
    return -1;
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

// A port whose far end takes no data (CTS off) lets a write take nothing
// for 5 s; the user is told once, and the wait goes on. The one line the
// endpoints print, after what standard output holds so far.
void tell_stalled(HANDLE h)
{
    static bool told = false;
    if (told) return;
    told = true;
    std::fflush(stdout);
    std::fprintf(stderr,
                 "vesklo: %s: the port has taken no data for 5 s: the receiver may not be ready "
                 "(CTS off), or the cable may have no handshake lines; still waiting (Ctrl-C "
                 "ends it)\n",
                 shown_name(port_name(h)));
}

// Waits until the output queue is empty. EV_TXEMPTY is only raised when a
// queue that held bytes empties, so it is awaited only while bytes are
// queued; a port with nothing to send does not wait. Returns false, with
// the failure noted, when the port cannot tell or went away meanwhile.
bool drain(HANDLE h)
{
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
            note_io_failure(h, GetLastError());
            return false;
        }
    }
}

}  // namespace

endpoint_failure last_failure()
{
    return failure;
}

endpoint_handle file_open(const char *name, std::int32_t baud_rate, endpoint_role role)
{
    static wchar_t path[path_max];
    if (!to_wide(name, path)) return invalid_handle;
    if (std::strncmp(name, "COM", 3) == 0) return com_open(path, name, baud_rate);
    const endpoint_handle h = disk_open(path, name, role);
    if (h == invalid_handle) return invalid_handle;
    if (GetFileType(handle_of(h)) == FILE_TYPE_CHAR) {
        // Share mode 0 would refuse a second open while this one lasts.
        CloseHandle(handle_of(h));
        return char_device_open(path, name, baud_rate, role);
    }
    // A directory cannot be opened here without FILE_FLAG_BACKUP_SEMANTICS,
    // but refuse one explicitly all the same.
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle_of(h));
        note_failure(cause_directory, ERROR_DIRECTORY);
        return invalid_handle;
    }
    note_held(handle_of(h));
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
    std::int32_t done = 0;
    while (done < count) {
        DWORD written = 0;
        // WriteFile: BOOL, nonzero on success.
        if (!WriteFile(h, p + done, static_cast<DWORD>(count - done), &written, nullptr)) {
            note_io_failure(h, GetLastError());
            return -1;
        }
        done += static_cast<std::int32_t>(written);
        if (written > 0) continue;
        // Nothing taken: a disk file is stuck; a port's write timed out
        // after 5 s, and is tried again while the port is there.
        if (!is_open_port(h)) {
            note_failure(cause_no_progress, 0);
            return -1;
        }
        COMSTAT status = {};
        if (!port_present(h, &status)) return -1;
        tell_stalled(h);
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
    bool drained = true;
    if (is_open_port(h)) {
        SetCommMask(h, EV_TXEMPTY);
        drained = drain(h);
        if (drained) Sleep(100);
    }
    // Ctrl-C purges the port up to here.
    forget_port(h);
    // CloseHandle: BOOL, nonzero on success.
    if (CloseHandle(h)) return drained;
    if (drained) note_failure(cause_system, GetLastError());
    return false;
}
