// The serial ports present on Windows: the device map that the serial
// drivers fill (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM), each
// value a device name whose data is the port's COM name.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "endpoint.h"

namespace {

// The number of a COM name (COM3 is 3), for the order; 0 for another name.
long com_number(const wchar_t *name)
{
    return _wcsnicmp(name, L"COM", 3) == 0 ? std::wcstol(name + 3, nullptr, 10) : 0;
}

// Writes "COM name  device" into port, in the ANSI code page.
void describe(const wchar_t *com, const wchar_t *device, port_listing *port)
{
    wchar_t line[300];
    std::swprintf(line, sizeof line / sizeof *line, L"%ls  %ls", com, device);
    // WideCharToMultiByte: the bytes written, 0 on failure.
    if (WideCharToMultiByte(CP_ACP, 0, line, -1, port->text, sizeof port->text, nullptr,
                            nullptr) == 0)
        port->text[0] = '\0';
}

}  // namespace

int list_ports(port_listing *ports, int max)
{
    HKEY key;
    // RegOpenKeyExW, RegEnumValueW: ERROR_SUCCESS (0) on success.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return 0;
    static long numbers[64];
    int count = 0;
    for (DWORD i = 0; count < max && count < 64; ++i) {
        wchar_t device[128], com[128];
        DWORD device_size = sizeof device / sizeof *device, com_bytes = sizeof com - sizeof *com;
        DWORD type = 0;
        const LONG r = RegEnumValueW(key, i, device, &device_size, nullptr, &type,
                                     reinterpret_cast<BYTE *>(com), &com_bytes);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        com[com_bytes / sizeof *com] = L'\0';
        // Insertion keeps the ports in the order of their numbers.
        const long number = com_number(com);
        int at = count++;
        for (; at > 0 && number < numbers[at - 1]; --at) {
            numbers[at] = numbers[at - 1];
            ports[at] = ports[at - 1];
        }
        numbers[at] = number;
        describe(com, device, &ports[at]);
    }
    RegCloseKey(key);
    return count;
}
