#include "held_ends_win32.h"

#include <atomic>

namespace {

// One end of the run, noted at open so that a disk read needs no call to
// tell the kind.
struct held_end {
    HANDLE handle;       // INVALID_HANDLE_VALUE: the slot is free
    bool identified;     // whether identity holds what the system told
    file_identity identity;
    const char *port;    // the port's name; null for a disk file
    kept_settings kept;
};

held_end ends[2] = {{INVALID_HANDLE_VALUE, false, {0, 0, 0}, nullptr, {0, 0, false}},
                    {INVALID_HANDLE_VALUE, false, {0, 0, 0}, nullptr, {0, 0, false}}};

// The ports again, where Ctrl-C reaches them from the thread that the
// console handler runs on.
std::atomic<HANDLE> open_ports[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};

// The thread that opens the ports and does all I/O on them, for the console
// handler to cancel that I/O; null when it could not be had.
std::atomic<HANDLE> main_thread = nullptr;

// The slot of h, or -1 when h is no end of this run.
int slot_of(HANDLE h)
{
    if (h == INVALID_HANDLE_VALUE) return -1;
    return ends[0].handle == h ? 0 : ends[1].handle == h ? 1 : -1;
}

const held_end *port_of(HANDLE h)
{
    const int slot = slot_of(h);
    return slot >= 0 && ends[slot].port ? &ends[slot] : nullptr;
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

void install_handler()
{
    static bool handler_set = false;
    if (handler_set) return;
    // GetCurrentThread is a pseudo handle that means the caller, so the
    // handler's thread needs a real one. DuplicateHandle: BOOL.
    HANDLE thread = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0,
                        FALSE, DUPLICATE_SAME_ACCESS))
        main_thread = thread;
    handler_set = SetConsoleCtrlHandler(purge_ports, TRUE) != 0;
}

}  // namespace

bool identity_of(HANDLE h, file_identity *id)
{
    BY_HANDLE_FILE_INFORMATION info;
    // GetFileInformationByHandle: BOOL, nonzero on success.
    if (!GetFileInformationByHandle(h, &info)) return false;
    *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

void hold_end(HANDLE h, const char *port_name, const kept_settings &kept)
{
    if (port_name) install_handler();
    const int slot = ends[0].handle == INVALID_HANDLE_VALUE ? 0 : 1;
    held_end &e = ends[slot];
    e.identified = !port_name && identity_of(h, &e.identity);
    e.port = port_name;
    e.kept = kept;
    e.handle = h;
    if (port_name) open_ports[slot] = h;
}

bool held_by_run(const file_identity &id)
{
    for (const held_end &e : ends)
        if (e.handle != INVALID_HANDLE_VALUE && e.identified && e.identity.volume == id.volume &&
            e.identity.index_high == id.index_high && e.identity.index_low == id.index_low)
            return true;
    return false;
}

const char *held_port_name(HANDLE h)
{
    const held_end *e = port_of(h);
    return e ? e->port : nullptr;
}

const char *held_port_name_at(int slot)
{
    return ends[slot].handle != INVALID_HANDLE_VALUE ? ends[slot].port : nullptr;
}

kept_settings held_port_kept(HANDLE h)
{
    const held_end *e = port_of(h);
    return e ? e->kept : kept_settings{0, 0, false};
}

void forget_end(HANDLE h)
{
    const int slot = slot_of(h);
    if (slot < 0) return;
    open_ports[slot] = INVALID_HANDLE_VALUE;
    ends[slot].handle = INVALID_HANDLE_VALUE;
}
