#include "held_ends_win32.h"

#include <atomic>

namespace {

// The ports, where Ctrl-C reaches them from the thread that the console
// handler runs on.
std::atomic<HANDLE> open_ports[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};

// The thread that opens the ports and does all I/O on them, for the console
// handler to cancel that I/O; null when it could not be had.
std::atomic<HANDLE> main_thread = nullptr;

// Set by the console handler before it cancels or purges anything.
std::atomic<bool> ending = false;

// Ctrl-C, Ctrl-Break and a closed console end the run. Output that a port
// still holds is thrown away, so that ending does not wait for a line that
// may never take it and the port is free at once. A port opened without
// overlap serializes its I/O, so the purge would wait behind a read or a
// write blocked on the main thread: that I/O is cancelled first, and the
// run marked as ending, so that the main thread tells nothing of it.
BOOL WINAPI purge_ports(DWORD)
{
    ending = true;
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
    // handler's thread needs a real one.
    HANDLE thread = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0,
                        FALSE, DUPLICATE_SAME_ACCESS))
        main_thread = thread;
    handler_set = SetConsoleCtrlHandler(purge_ports, TRUE) != 0;
}

}  // namespace

bool is_other_end(HANDLE h, const endpoint *other)
{
    if (!other || other->handle == invalid_handle || other->port) return false;
    BY_HANDLE_FILE_INFORMATION a, b;
    return GetFileInformationByHandle(h, &a) &&
           GetFileInformationByHandle(reinterpret_cast<HANDLE>(other->handle), &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

void hold_port(HANDLE h)
{
    install_handler();
    HANDLE free_slot = INVALID_HANDLE_VALUE;
    if (!open_ports[0].compare_exchange_strong(free_slot, h)) open_ports[1] = h;
}

void forget_port(HANDLE h)
{
    for (std::atomic<HANDLE> &p : open_ports)
        if (p.load() == h) p = INVALID_HANDLE_VALUE;
}

void stop_if_ending()
{
    // The handler returns to the system's own, which ends the process.
    while (ending.load()) Sleep(INFINITE);
}
