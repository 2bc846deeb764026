// zprobe's registry commands.

#include <windows.h>
#include <sddl.h>

#include <cstdio>

#include "probe.h"

namespace zprobe {

HKEY RootKey(const std::wstring& name) {
    if (name == L"HKLM" || name == L"HKLM64") {
        return HKEY_LOCAL_MACHINE;
    }
    if (name == L"HKCU") {
        return HKEY_CURRENT_USER;
    }
    return nullptr;
}

// A key's values exactly as the ANSI functions the program uses see them: name, type and
// bytes. A key that does not exist is told apart from one that could not be read.
int CmdRegRead(HKEY root, const std::wstring& subkey, REGSAM view) {
    const auto absent = [] {
        Json j;
        j.BeginObject().Field("key_exists", false).EndObject().Print();
        return 0;
    };
    unique_hkey key;
    LONG status = RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | view, key.put());
    if (status == ERROR_FILE_NOT_FOUND) {
        return absent();
    }
    DWORD nameMax = 0;
    DWORD dataMax = 0;
    if (status == ERROR_SUCCESS) {
        status = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, &nameMax, &dataMax, nullptr, nullptr);
    }
    Json j;
    j.BeginObject().Field("key_exists", true).Key("values").BeginArray();
    for (DWORD i = 0; status == ERROR_SUCCESS; ++i) {
        std::vector<wchar_t> name(nameMax + 1);
        std::vector<BYTE> data(dataMax + 1);
        auto nameSize = static_cast<DWORD>(name.size());
        auto size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        status =
            RegEnumValueW(key.get(), i, name.data(), &nameSize, nullptr, &type, data.data(), &size);
        if (status == ERROR_SUCCESS) {
            std::string hex;
            for (DWORD b = 0; b < size; ++b) {
                char byte[4];
                std::snprintf(byte, sizeof byte, "%02x", data[b]);
                hex += byte;
            }
            j.BeginObject().Field("name", std::wstring(name.data(), nameSize));
            j.Field("type", type).Field("hex", hex).EndObject();
        }
    }
    if (status == ERROR_KEY_DELETED) {  // deleted while it was read (an uninstaller)
        return absent();
    }
    if (status != ERROR_NO_MORE_ITEMS) {
        PrintError("cannot read the key: " + std::to_string(status));
        return 1;
    }
    j.EndArray().EndObject().Print();
    return 0;
}

// Prints a key's access list as SDDL, and replaces it when a new one is given. Wine's
// server checks a key's access list when the key is opened, as Windows does.
int CmdKeyDacl(HKEY root, const std::wstring& subkey, const std::wstring* sddl) {
    unique_hkey key;
    LONG status = RegOpenKeyExW(root, subkey.c_str(), 0, READ_CONTROL | WRITE_DAC, key.put());
    if (status != ERROR_SUCCESS) {
        PrintError("cannot open the key for its access list: " + std::to_string(status));
        return 1;
    }
    DWORD size = 0;
    RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> current(size ? size : 1);
    std::wstring before;
    if (RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, current.data(), &size) ==
        ERROR_SUCCESS) {
        before = DaclText(current.data()).value_or(L"");
    }
    Json j;
    j.BeginObject().Field("before", before);
    if (sddl) {
        unique_hlocal wanted;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl->c_str(), SDDL_REVISION_1,
                                                                  wanted.put(), nullptr)) {
            PrintError("bad SDDL");
            return 2;
        }
        status = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, wanted.get());
        j.Field("set", status == ERROR_SUCCESS).Field("status", status);
    }
    j.EndObject().Print();
    return 0;
}

}  // namespace zprobe
