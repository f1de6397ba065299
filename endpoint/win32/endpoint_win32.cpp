// Endpoints over kernel32. Disk files and ports are opened with share mode
// 0, so a second open of either fails while this run holds it. Names arrive
// as UTF-8 and are opened through the wide functions, so that each opens
// the file it spells, whatever the ANSI code page holds.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "endpoint.h"
#include "failure_record.h"
#include "held_ends_win32.h"
#include "serial_win32.h"

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
    return known && held_by_run(id);
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

// Whether name, typed alone with no folder, spells a COM port. Only COM1
// to COM9 are reserved device names, so com10 alone would open a disk file
// of that name: such a name is opened as the port it spells, in any case.
bool names_bare_com_port(const char *name)
{
    return std::strpbrk(name, "\\/") == nullptr && names_com_port(name);
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
    if (h != INVALID_HANDLE_VALUE && has_line_settings(h))
        return from_handle(port_take(h, name, baud_rate));
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return disk_open(path, name, role);
}

}  // namespace

endpoint_handle file_open(const char *name, std::int32_t baud_rate, endpoint_role role)
{
    static wchar_t path[path_max];
    if (!to_wide(name, path)) return invalid_handle;
    if (port_held_already(path)) {
        note_failure(cause_same_file, ERROR_BUSY);
        return invalid_handle;
    }
    if (std::strncmp(name, "COM", 3) == 0 || names_bare_com_port(name))
        return from_handle(com_open(path, name, baud_rate));
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
    hold_end(handle_of(h), nullptr, {0, 0, false});
    return h;
}

std::int32_t file_read(endpoint_handle handle, void *buffer, std::int32_t count)
{
    const HANDLE h = handle_of(handle);
    if (held_port_name(h)) return port_read(h, buffer, count);
    DWORD got = 0;
    // ReadFile: BOOL, nonzero on success.
    if (ReadFile(h, buffer, static_cast<DWORD>(count), &got, nullptr))
        return static_cast<std::int32_t>(got);
    note_failure(cause_system, GetLastError());
    return -1;
}

std::int32_t file_write(endpoint_handle handle, const void *buffer, std::int32_t count)
{
    const HANDLE h = handle_of(handle);
    if (held_port_name(h)) return port_write(h, buffer, count);
    const char *p = static_cast<const char *>(buffer);
    std::int32_t done = 0;
    while (done < count) {
        DWORD written = 0;
        // WriteFile: BOOL, nonzero on success. Nothing written would loop
        // for ever: a failed write too.
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

std::int64_t monotonic_ms()
{
    return static_cast<std::int64_t>(GetTickCount64());
}

bool file_is_port(endpoint_handle handle)
{
    return held_port_name(handle_of(handle)) != nullptr;
}

kept_settings file_kept_settings(endpoint_handle handle)
{
    return held_port_kept(handle_of(handle));
}

std::int32_t file_size(endpoint_handle handle)
{
    return static_cast<std::int32_t>(GetFileSize(handle_of(handle), nullptr));
}

bool file_close(endpoint_handle handle)
{
    const HANDLE h = handle_of(handle);
    if (held_port_name(h)) return port_close(h);
    forget_end(h);
    // CloseHandle: BOOL, nonzero on success.
    if (CloseHandle(h)) return true;
    note_failure(cause_system, GetLastError());
    return false;
}
