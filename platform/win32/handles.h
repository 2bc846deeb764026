#pragma once

#include <windows.h>
#include <wininet.h>

#include "platform/unique_handle.h"

struct InternetHandleTraits {
    using pointer = HINTERNET;
    static pointer invalid() { return nullptr; }
    static void close(pointer h) { InternetCloseHandle(h); }
};
using unique_hinternet = unique_handle<InternetHandleTraits>;

struct KernelHandleTraits {
    using pointer = HANDLE;
    static pointer invalid() { return nullptr; }
    static void close(pointer h) { CloseHandle(h); }
};
using unique_kernel_handle = unique_handle<KernelHandleTraits>;

template <typename GdiObject>
struct GdiObjectTraits {
    using pointer = GdiObject;
    static pointer invalid() { return nullptr; }
    static void close(pointer h) { DeleteObject(h); }
};
using unique_hfont = unique_handle<GdiObjectTraits<HFONT>>;
using unique_hbrush = unique_handle<GdiObjectTraits<HBRUSH>>;
using unique_hbitmap = unique_handle<GdiObjectTraits<HBITMAP>>;

struct MenuTraits {
    using pointer = HMENU;
    static pointer invalid() { return nullptr; }
    static void close(pointer h) { DestroyMenu(h); }
};
using unique_hmenu = unique_handle<MenuTraits>;

struct RegKeyWin32Traits {
    using pointer = HKEY;
    static pointer invalid() { return nullptr; }
    static void close(pointer h) { RegCloseKey(h); }
};
using unique_win32_hkey = unique_handle<RegKeyWin32Traits>;

struct IconTraits {
    using pointer = HICON;
    static pointer invalid() { return nullptr; }
    static void close(pointer h) { DestroyIcon(h); }
};
using unique_hicon = unique_handle<IconTraits>;

template <typename Interface>
struct ComTraits {
    using pointer = Interface*;
    static pointer invalid() { return nullptr; }
    static void close(pointer p) { p->Release(); }
};
template <typename Interface>
using com_ptr = unique_handle<ComTraits<Interface>>;

struct DcTraits {
    using pointer = HDC;
    static pointer invalid() { return nullptr; }
    static void close(pointer h) { DeleteDC(h); }
};
using unique_hdc = unique_handle<DcTraits>;
