#include "adapter_win32.h"

#include <windows.h>

#include <cwchar>

#include "com_name.h"

namespace {

// The enumerators under which USB serial adapters appear: USB for those
// whose driver binds the USB device itself (CH340, PL2303, CP210x, CDC-ACM
// bridges), FTDIBUS for the ports that FTDI's bus driver makes.
const wchar_t *const enumerators[] = {L"SYSTEM\\CurrentControlSet\\Enum\\USB",
                                      L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS"};

// The most device ids, and instances of one, that a look reads: more than
// any system holds, so that a damaged registry cannot keep an open waiting.
constexpr DWORD most_keys = 4096;

// A registry key's name holds at most 255 characters.
constexpr DWORD key_name_max = 256;

// Reads the 4 hexadecimal digits at text into *value; false when one is
// missing.
bool read_hex4(const wchar_t *text, std::uint16_t *value)
{
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
        const wchar_t c = text[i];
        const int digit = c >= L'0' && c <= L'9'   ? c - L'0'
                          : c >= L'A' && c <= L'F' ? c - L'A' + 10
                          : c >= L'a' && c <= L'f' ? c - L'a' + 10
                                                   : -1;
        if (digit < 0) return false;
        v = v * 16 + static_cast<unsigned>(digit);
    }
    *value = static_cast<std::uint16_t>(v);
    return true;
}

// Reads the ids of a device id: VID_1A86&PID_7523 (USB, with &MI_00 after
// it for one interface of several), VID_0403+PID_6001+A50285BIA (FTDIBUS).
bool read_ids(const wchar_t *device_id, std::uint16_t *vendor, std::uint16_t *product)
{
    if (_wcsnicmp(device_id, L"VID_", 4) != 0 || !read_hex4(device_id + 4, vendor)) return false;
    const wchar_t separator = device_id[8];
    return (separator == L'&' || separator == L'+') && _wcsnicmp(device_id + 9, L"PID_", 4) == 0 &&
           read_hex4(device_id + 13, product);
}

// Reads the string value called value of the key sub under key into text
// (size characters). Returns false when it is missing or no string.
bool read_string(HKEY key, const wchar_t *sub, const wchar_t *value, wchar_t *text, DWORD size)
{
    DWORD bytes = size * sizeof *text;
    // RegGetValueW: ERROR_SUCCESS (0) on success; the string it stores
    // always ends in a NUL.
    return RegGetValueW(key, sub, value, RRF_RT_REG_SZ, nullptr, text, &bytes) == ERROR_SUCCESS &&
           text[0] != L'\0';
}

// True when the device instance sub under key is the port COM<number>.
bool names_port(HKEY key, const wchar_t *sub, long number)
{
    wchar_t path[key_name_max + 20], port[32];
    char narrow[32];
    com_name com;
    std::swprintf(path, sizeof path / sizeof *path, L"%ls\\Device Parameters", sub);
    if (!read_string(key, path, L"PortName", port, sizeof port / sizeof *port)) return false;
    // WideCharToMultiByte: the bytes written with the NUL, 0 on failure.
    const int n = WideCharToMultiByte(CP_UTF8, 0, port, -1, narrow, sizeof narrow, nullptr,
                                      nullptr);
    return n > 1 && parse_com_name(narrow, static_cast<std::size_t>(n - 1), &com) &&
           com.number == number;
}

// Makes the device's name plain: the text after the last ';' of a
// reference to an inf file (@oem12.inf,%ch340.devicedesc%;USB-SERIAL CH340),
// without the " (COM3)" that ends a FriendlyName.
void make_plain(wchar_t *name)
{
    if (const wchar_t *last = std::wcsrchr(name, L';'))
        std::wmemmove(name, last + 1, std::wcslen(last + 1) + 1);
    const std::size_t length = std::wcslen(name);
    wchar_t *open = std::wcsrchr(name, L'(');
    if (length > 0 && name[length - 1] == L')' && open && open > name && open[-1] == L' ' &&
        _wcsnicmp(open + 1, L"COM", 3) == 0)
        open[-1] = L'\0';
}

// Looks through the device ids under the enumerator's key for the instance
// that names the port COM<number>.
bool find_under(HKEY enumerator, long number, usb_adapter *found)
{
    static wchar_t device_id[key_name_max], instance[key_name_max];
    for (DWORD i = 0; i < most_keys; ++i) {
        DWORD size = key_name_max;
        // RegEnumKeyExW, RegOpenKeyExW: ERROR_SUCCESS (0) on success.
        const LONG r = RegEnumKeyExW(enumerator, i, device_id, &size, nullptr, nullptr, nullptr,
                                     nullptr);
        if (r == ERROR_NO_MORE_ITEMS) return false;
        std::uint16_t vendor = 0, product = 0;
        HKEY device;
        if (r != ERROR_SUCCESS || !read_ids(device_id, &vendor, &product) ||
            RegOpenKeyExW(enumerator, device_id, 0, KEY_READ, &device) != ERROR_SUCCESS)
            continue;
        bool named = false;
        for (DWORD j = 0; j < most_keys && !named; ++j) {
            size = key_name_max;
            const LONG e =
                RegEnumKeyExW(device, j, instance, &size, nullptr, nullptr, nullptr, nullptr);
            if (e == ERROR_NO_MORE_ITEMS) break;
            named = e == ERROR_SUCCESS && names_port(device, instance, number);
        }
        if (named) {
            const DWORD room = sizeof found->name / sizeof *found->name;
            found->vendor_id = vendor;
            found->product_id = product;
            if (!read_string(device, instance, L"FriendlyName", found->name, room) &&
                !read_string(device, instance, L"DeviceDesc", found->name, room))
                found->name[0] = L'\0';
            make_plain(found->name);
        }
        RegCloseKey(device);
        if (named) return true;
    }
    return false;
}

}  // namespace

bool find_usb_adapter(long number, usb_adapter *found)
{
    if (number <= 0) return false;
    for (const wchar_t *path : enumerators) {
        HKEY key;
        // RegOpenKeyExW: ERROR_SUCCESS (0) on success.
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        const bool found_here = find_under(key, number, found);
        RegCloseKey(key);
        if (found_here) return true;
    }
    return false;
}

uart_rules port_uart(long number)
{
    static usb_adapter adapter;
    if (find_usb_adapter(number, &adapter)) {
        const uart_rules rules = uart_rules_from_ids(adapter.vendor_id, adapter.product_id);
        if (rules.kind != uart_unknown) return rules;
    }
    return {uart_16550, 0};
}
