// The serial ports present on Windows: the device map that the serial
// drivers fill (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM), each
// value a device name whose data is the port's COM name; a USB adapter's
// port is shown by its ids and name, as the registry knows the adapter.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "adapter_win32.h"
#include "endpoint.h"

namespace {

// A registry value name holds at most 16383 characters; the COM name is
// read into as much room.
constexpr DWORD registry_name_max = 16384;

// The number of the port that text lists ("COM3  \Device\Serial2" is 3),
// for the order; 0 for another name.
long listed_number(const port_listing &port)
{
    return _strnicmp(port.text, "COM", 3) == 0 ? std::strtol(port.text + 3, nullptr, 10) : 0;
}

// Writes "COM name  device" into port, or for a USB adapter's port "COM
// name  USB VVVV:PPPP  its name", in the ANSI code page, cut at a character
// where the text has no room for it all.
void describe(const wchar_t *com, const wchar_t *device, port_listing *port)
{
    static wchar_t line[2 * registry_name_max + 2];
    static usb_adapter adapter;
    const bool usb = _wcsnicmp(com, L"COM", 3) == 0 &&
                     find_usb_adapter(std::wcstol(com + 3, nullptr, 10), &adapter);
    if (usb)
        std::swprintf(line, sizeof line / sizeof *line, L"%ls  USB %04X:%04X%ls%ls", com,
                      adapter.vendor_id, adapter.product_id, adapter.name[0] ? L"  " : L"",
                      adapter.name);
    else
        std::swprintf(line, sizeof line / sizeof *line, L"%ls  %ls", com, device);
    const int room = static_cast<int>(sizeof port->text) - 1;
    // Each character takes at least one byte, so no more than room fit.
    int length = static_cast<int>(std::wcslen(line));
    if (length > room) length = room;
    // WideCharToMultiByte: the bytes needed or written, 0 on failure.
    while (length > 0 &&
           (IS_HIGH_SURROGATE(line[length - 1]) ||
            WideCharToMultiByte(CP_ACP, 0, line, length, nullptr, 0, nullptr, nullptr) > room))
        --length;
    const int written = WideCharToMultiByte(CP_ACP, 0, line, length, port->text, room, nullptr,
                                            nullptr);
    port->text[written] = '\0';
}

// Adds the port com, whose device is device, to the count ports listed in
// number order, when it is among the max lowest; the highest is dropped
// when all max entries are taken. Returns the new count.
int add_in_order(const wchar_t *com, const wchar_t *device, port_listing *ports, int count,
                 int max)
{
    port_listing entry;
    describe(com, device, &entry);
    const long number = listed_number(entry);
    if (count == max && number >= listed_number(ports[max - 1])) return count;
    int at = count < max ? count++ : max - 1;
    for (; at > 0 && number < listed_number(ports[at - 1]); --at) ports[at] = ports[at - 1];
    ports[at] = entry;
    return count;
}

}  // namespace

int list_ports(port_listing *ports, int max)
{
    HKEY key;
    // RegOpenKeyExW, RegEnumValueW: ERROR_SUCCESS (0) on success.
    if (max <= 0 || RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                  KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    static wchar_t device[registry_name_max], com[registry_name_max];
    int count = 0;
    // Every value is read: the map gives them in the order of the device
    // names, so the lowest numbers may come last.
    for (DWORD i = 0;; ++i) {
        DWORD device_size = registry_name_max, com_bytes = sizeof com - sizeof *com;
        DWORD type = 0;
        const LONG r = RegEnumValueW(key, i, device, &device_size, nullptr, &type,
                                     reinterpret_cast<BYTE *>(com), &com_bytes);
        if (r == ERROR_NO_MORE_ITEMS) break;
        // A COM name too long for any command line names no port to open.
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        com[com_bytes / sizeof *com] = L'\0';
        count = add_in_order(com, device, ports, count, max);
    }
    RegCloseKey(key);
    return count;
}
