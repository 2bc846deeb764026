#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

// Traits for handles whose invalid value is null and whose closer is one OS function.
template <typename Handle, auto Close>
struct NullHandleTraits {
    using pointer = Handle;
    static pointer invalid() { return nullptr; }
    static void close(pointer h) { Close(h); }
};

using unique_kernel_handle = unique_handle<NullHandleTraits<HANDLE, &CloseHandle>>;
using unique_hfont = unique_handle<NullHandleTraits<HFONT, &DeleteObject>>;
using unique_hbrush = unique_handle<NullHandleTraits<HBRUSH, &DeleteObject>>;
using unique_hbitmap = unique_handle<NullHandleTraits<HBITMAP, &DeleteObject>>;
using unique_hmenu = unique_handle<NullHandleTraits<HMENU, &DestroyMenu>>;
using unique_hicon = unique_handle<NullHandleTraits<HICON, &DestroyIcon>>;
using unique_hkey = unique_handle<NullHandleTraits<HKEY, &RegCloseKey>>;
using unique_sc_handle = unique_handle<NullHandleTraits<SC_HANDLE, &CloseServiceHandle>>;

// A file or pipe handle, whose invalid value is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using pointer = HANDLE;
    static pointer invalid() { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) { CloseHandle(h); }
};
using unique_file_handle = unique_handle<FileHandleTraits>;

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
