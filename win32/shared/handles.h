#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

// A close keeps the thread's last error, as the code that reset a handle may read it next.
struct KeepsLastError {
    static DWORD save_error() { return GetLastError(); }
    static void restore_error(DWORD error) { SetLastError(error); }
};

// Traits for handles whose invalid value is null and whose closer is one OS function.
template <typename Handle, auto Close>
struct NullHandleTraits : KeepsLastError {
    using pointer = Handle;
    static pointer invalid() { return nullptr; }
    static void close(pointer h) { Close(h); }
};

using unique_kernel_handle = unique_handle<NullHandleTraits<HANDLE, &CloseHandle>>;
using unique_hfont = unique_handle<NullHandleTraits<HFONT, &DeleteObject>>;
using unique_hbrush = unique_handle<NullHandleTraits<HBRUSH, &DeleteObject>>;
using unique_hbitmap = unique_handle<NullHandleTraits<HBITMAP, &DeleteObject>>;
// A memory device context, from CreateCompatibleDC.
using unique_hdc = unique_handle<NullHandleTraits<HDC, &DeleteDC>>;
using unique_hmenu = unique_handle<NullHandleTraits<HMENU, &DestroyMenu>>;
using unique_hicon = unique_handle<NullHandleTraits<HICON, &DestroyIcon>>;
using unique_hkey = unique_handle<NullHandleTraits<HKEY, &RegCloseKey>>;
using unique_sc_handle = unique_handle<NullHandleTraits<SC_HANDLE, &CloseServiceHandle>>;
using unique_event_source = unique_handle<NullHandleTraits<HANDLE, &DeregisterEventSource>>;
// Memory the system allocated for the caller (security descriptors, their SDDL text).
using unique_hlocal = unique_handle<NullHandleTraits<HLOCAL, &LocalFree>>;

// A file or pipe handle, whose invalid value is INVALID_HANDLE_VALUE.
struct FileHandleTraits : KeepsLastError {
    using pointer = HANDLE;
    static pointer invalid() { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) { CloseHandle(h); }
};
using unique_file_handle = unique_handle<FileHandleTraits>;

// A search from FindFirstFileExW.
struct FindHandleTraits : KeepsLastError {
    using pointer = HANDLE;
    static pointer invalid() { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) { FindClose(h); }
};
using unique_find_handle = unique_handle<FindHandleTraits>;

// The screen's device context, from GetDC(nullptr).
struct ScreenDcTraits : KeepsLastError {
    using pointer = HDC;
    static pointer invalid() { return nullptr; }
    static void close(pointer dc) { ReleaseDC(nullptr, dc); }
};
using unique_screen_dc = unique_handle<ScreenDcTraits>;

// Selects a GDI object into a device context and puts the one it replaced back when it goes.
class ScopedSelection {
public:
    ScopedSelection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ScopedSelection(const ScopedSelection&) = delete;
    ScopedSelection& operator=(const ScopedSelection&) = delete;
    ~ScopedSelection() {
        if (previous_) {
            SelectObject(dc_, previous_);
        }
    }

private:
    HDC dc_;
    HGDIOBJ previous_;
};
