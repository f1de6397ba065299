#include "held_ports_win32.h"

#include <atomic>

namespace {

// The ports that this run holds (at most its two ends), noted at open so
// that a disk read needs no call to tell the kind, and so that Ctrl-C can
// reach them from the thread that the console handler runs on.
std::atomic<HANDLE> open_ports[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
const char *port_names[2];
kept_settings port_kept_settings[2];

// The thread that opens the ports and does all I/O on them, for the console
// handler to cancel that I/O; null when it could not be had.
std::atomic<HANDLE> main_thread = nullptr;

// The slot of the port h, or -1 when h is no port of this run.
int slot_of(HANDLE h)
{
    return open_ports[0] == h ? 0 : open_ports[1] == h ? 1 : -1;
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

}  // namespace

void hold_port(HANDLE h, const char *name, const kept_settings &kept)
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
    port_kept_settings[slot] = kept;
    open_ports[slot] = h;
}

void forget_port(HANDLE h)
{
    for (std::atomic<HANDLE> &p : open_ports) {
        HANDLE expected = h;
        p.compare_exchange_strong(expected, INVALID_HANDLE_VALUE);
    }
}

const char *held_port_name(HANDLE h)
{
    const int slot = slot_of(h);
    return slot >= 0 ? port_names[slot] : nullptr;
}

const char *held_port_name_at(int slot)
{
    return open_ports[slot] != INVALID_HANDLE_VALUE ? port_names[slot] : nullptr;
}

kept_settings held_port_kept(HANDLE h)
{
    const int slot = slot_of(h);
    return slot >= 0 ? port_kept_settings[slot] : kept_settings{0, 0, false};
}
