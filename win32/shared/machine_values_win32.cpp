#include "win32/shared/machine_values_win32.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "win32/shared/handles.h"
#include "win32/shared/wide.h"

namespace {

MachineValue Unreadable() {
    return {MachineValue::Kind::Unreadable, {}, 0};
}

}  // namespace

MachineValue Win32MachineValues::ReadMachineValue(std::string_view subkey, std::string_view name) {
    // Without KEY_WOW64_64KEY a 32-bit program would read Software\WOW6432Node\Orva.
    unique_hkey key;
    const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(subkey).c_str(), 0,
                                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
    if (opened == ERROR_FILE_NOT_FOUND) {
        return {};
    }
    if (opened != ERROR_SUCCESS) {
        return Unreadable();
    }
    const std::wstring valueName = Widen(name);
    DWORD type = 0;
    DWORD size = 0;
    LONG status = RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return {};
    }
    constexpr DWORD kMaxBytes = 8192;
    if (status != ERROR_SUCCESS || size > kMaxBytes) {
        return Unreadable();
    }
    if (type == REG_DWORD) {
        DWORD number = 0;
        size = sizeof number;
        status = RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(&number), &size);
        if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof number) {
            return Unreadable();
        }
        return {MachineValue::Kind::Number, {}, number};
    }
    if (type != REG_SZ) {
        return Unreadable();
    }
    // The stored text may lack its NUL, or end in half a character.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    status = RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return Unreadable();
    }
    buffer[std::min<std::size_t>(size / sizeof(wchar_t), buffer.size() - 1)] = L'\0';
    return {MachineValue::Kind::Text, Narrow(buffer.data()), 0};
}
