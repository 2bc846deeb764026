#pragma once

#include <windows.h>

#include <string>

// Whether this Windows has SetDefaultDllDirectories and the LOAD_LIBRARY_SEARCH_* flags
// (Windows 8, and 7 and Vista with KB2533623).
inline bool HasDllDirectories() {
    return GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories") != nullptr;
}

// A DLL of Windows, by its full path in the system folder, so that none planted beside the
// program is loaded, nor for any DLL it needs in turn: those are looked for in the system
// folder only, or where the flags are missing, in the DLL's own folder (the system folder)
// before the program's. Null when it cannot be. It stays loaded for the rest of the process.
inline HMODULE LoadSystemDll(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = L"";
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    return LoadLibraryExW(
        (std::wstring(folder, length) + L"\\" + name).c_str(), nullptr,
        HasDllDirectories() ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Sets function to the DLL's export of that name; false when there is none.
template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function) {
    // Through void (*)() because a cast between two other function types draws a warning.
    function =
        reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return function != nullptr;
}

// Every later load of a DLL by name looks in the system folder only. Vista and an unpatched
// Windows 7 lack the call; there every DLL loaded is a KnownDLL or loaded by its full path.
inline void RestrictDllSearchToSystemFolder() {
    using SetDirectories = BOOL(WINAPI*)(DWORD);
    SetDirectories setDirectories = nullptr;
    if (Resolve(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories", setDirectories)) {
        setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
}
