// Endpoints over kernel32. Disk files and ports are opened with share mode
// 0, so a second open of either fails while this run holds it. Names arrive
// as UTF-8 and are opened through the wide functions, so that each opens
// the file it spells, whatever the ANSI code page holds.
#include <windows.h>

#include <cstdint>

#include "endpoint.h"
#include "failure_record.h"
#include "held_ends_win32.h"
#include "serial_win32.h"

namespace {

HANDLE handle_of(const endpoint *end)
{
    return reinterpret_cast<HANDLE>(end->handle);
}

endpoint_handle from_handle(HANDLE h)
{
    return reinterpret_cast<endpoint_handle>(h);
}

// An end that failed to open, the failure already noted.
endpoint failed_end(const char *name)
{
    return {invalid_handle, name, false};
}

// Whether path leads to the file that other holds. An open without access,
// every share flag and backup semantics is refused by no share mode, and so
// learns the identity of a file that is held exclusively.
bool held_already(const wchar_t *path, const endpoint *other)
{
    const HANDLE h = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool same = is_other_end(h, other);
    CloseHandle(h);
    return same;
}

// Notes why the open of path (spelled name) failed with error.
void note_open_failure(const wchar_t *path, const char *name, DWORD error, const endpoint *other)
{
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        note_failure(cause_directory, error);
    else if (error == ERROR_SHARING_VIOLATION)
        note_failure(held_already(path, other) ? cause_same_file : cause_in_use, error);
    else if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) &&
             leads_to_com_device(name))
        note_failure(cause_no_such_port, error);
    else
        note_failure(cause_system, error);
}

// A source must exist and is only read; a destination is created or
// emptied. CREATE_ALWAYS empties a file only when the exclusive open
// succeeds, so a file named as both ends is left intact.
endpoint disk_open(const wchar_t *path, const char *name, endpoint_role role,
                   const endpoint *other)
{
    const bool source = role == role_source;
    const HANDLE h = CreateFileW(path, source ? GENERIC_READ : GENERIC_WRITE, 0, nullptr,
                                 source ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
    if (h != INVALID_HANDLE_VALUE) return {from_handle(h), name, false};
    note_open_failure(path, name, GetLastError(), other);
    return failed_end(name);
}

// A character device with line settings is a port, however it is spelled
// (com1, \\.\COM1, AUX...); one without (NUL, CON) is written and read as
// a file. The test is made on a handle for reading and writing, as a port
// is opened: a destination's first handle may only write, and Wine refuses
// GetCommState on such a handle. Returns the end, failed for a port that
// refused its settings.
endpoint char_device_open(const wchar_t *path, const char *name, std::int32_t baud_rate,
                          endpoint_role role, const endpoint *other)
{
    const HANDLE h = open_device(path);
    if (h != INVALID_HANDLE_VALUE && has_line_settings(h))
        return port_take(from_handle(h), name, baud_rate, role, other);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return disk_open(path, name, role, other);
}

}  // namespace

endpoint file_open(const char *name, std::int32_t baud_rate, endpoint_role role,
                   const endpoint *other)
{
    static wchar_t path[path_max];
    if (!to_wide(name, path)) return failed_end(name);
    if (port_held_already(name, other)) {
        note_failure(cause_same_file, ERROR_BUSY);
        return failed_end(name);
    }
    if (taken_for_com_port(name)) return com_open(name, baud_rate, role, other);
    const endpoint file = disk_open(path, name, role, other);
    if (file.handle == invalid_handle) return file;
    const HANDLE h = handle_of(&file);
    if (GetFileType(h) == FILE_TYPE_CHAR) {
        // Share mode 0 would refuse a second open while this one lasts.
        CloseHandle(h);
        return char_device_open(path, name, baud_rate, role, other);
    }
    // A directory cannot be opened here without FILE_FLAG_BACKUP_SEMANTICS,
    // but refuse one explicitly all the same.
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        note_failure(cause_directory, ERROR_DIRECTORY);
        return failed_end(name);
    }
    return file;
}

std::int32_t file_read(endpoint *end, void *buffer, std::int32_t count)
{
    if (end->port) return port_read(end, buffer, count);
    DWORD got = 0;
    if (ReadFile(handle_of(end), buffer, static_cast<DWORD>(count), &got, nullptr))
        return static_cast<std::int32_t>(got);
    note_failure(cause_system, GetLastError());
    return -1;
}

std::int32_t file_write(endpoint *end, const void *buffer, std::int32_t count)
{
    if (end->port) return port_write(end, buffer, count);
    const char *p = static_cast<const char *>(buffer);
    std::int32_t done = 0;
    while (done < count) {
        DWORD written = 0;
        // Nothing written would loop for ever: a failed write too.
        if (!WriteFile(handle_of(end), p + done, static_cast<DWORD>(count - done), &written,
                       nullptr)) {
            note_failure(cause_system, GetLastError());
            return -1;
        }
        if (written == 0) {
            note_failure(cause_no_progress, 0);
            return -1;
        }
        done += static_cast<std::int32_t>(written);
        end->sent += written;
    }
    return count;
}

std::int64_t monotonic_ms()
{
    return static_cast<std::int64_t>(GetTickCount64());
}

std::int32_t file_size(const endpoint *end)
{
    return static_cast<std::int32_t>(GetFileSize(handle_of(end), nullptr));
}

bool file_close(const endpoint *end)
{
    if (end->port) return port_close(end);
    if (CloseHandle(handle_of(end))) return true;
    note_failure(cause_system, GetLastError());
    return false;
}
