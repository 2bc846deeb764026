// zprobe's queries that run inside the program through the hook module, and its menu command.

#include "probe.h"

namespace zprobe {

// ---------------------------------------------------------------------------------------
// Fonts. A font handle means nothing outside the process that made it, so a hook running
// inside the program's thread reads each control's LOGFONT into shared memory.
//
// A hook's code is loaded into the program as a library. An EXE loaded that way gets no
// imports resolved, so the hook module is a copy of this file marked as a DLL without an
// entry point: the loader resolves its imports and runs none of its start-up code.

// The shared memory a query's answer comes back through, one per probe process.
void MappingName(const wchar_t* message, DWORD probePid, wchar_t (&name)[64]) {
    wsprintfW(name, L"Local\\%s.%lu", message, probePid);
}

BOOL CALLBACK RecordFont(HWND child, LPARAM param) {
    auto* table = reinterpret_cast<FontTable*>(param);
    if (table->count >= kMaxControls) {
        return FALSE;
    }
    FontRecord& record = table->records[table->count++];
    record.id = GetDlgCtrlID(child);
    const auto font = reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0));
    record.valid = font && GetObjectW(font, sizeof record.font, &record.font) == sizeof record.font;
    if (record.valid) {
        // What the font mapper actually picked for the request.
        HDC dc = CreateCompatibleDC(nullptr);
        HGDIOBJ old = SelectObject(dc, font);
        GetTextFaceW(dc, LF_FACESIZE, record.realizedFace);
        TEXTMETRICW metrics{};
        GetTextMetricsW(dc, &metrics);
        record.realizedHeight = metrics.tmHeight;
        record.realizedWeight = metrics.tmWeight;
        SelectObject(dc, old);
        DeleteDC(dc);
    }
    return TRUE;
}

// The window's DPI from inside its process, where a window unaware of DPI sees 96 whatever
// the screen has.
int WindowDpi(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpi) {
        return static_cast<int>(getDpi(window));
    }
    HDC dc = GetDC(window);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
    ReleaseDC(window, dc);
    return dpi;
}

// Answers a probe's query message from inside the program, where this module's C runtime
// was never started (Win32 calls only): fill writes into the table the probe shares.
template <typename Table, typename Fill>
LRESULT AnswerQuery(int code, WPARAM wParam, LPARAM lParam, const wchar_t* message, Fill fill) {
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == RegisterWindowMessageW(message)) {
        wchar_t name[64];
        MappingName(message, static_cast<DWORD>(call->wParam), name);
        const unique_kernel_handle mapping(OpenFileMappingW(FILE_MAP_WRITE, FALSE, name));
        if (void* view = mapping ? MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, sizeof(Table))
                                 : nullptr) {
            static_cast<Table*>(view)->count = 0;
            fill(*static_cast<Table*>(view), call->hwnd);
            UnmapViewOfFile(view);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK FontHookProc(int code, WPARAM wParam, LPARAM lParam) {
    return AnswerQuery<FontTable>(
        code, wParam, lParam, kFontQueryMessage, [](FontTable& table, HWND main) {
            EnumChildWindows(main, RecordFont, reinterpret_cast<LPARAM>(&table));
            table.windowDpi = WindowDpi(main);
        });
}

std::vector<char> ReadWholeFile(const std::wstring& path) {
    std::vector<char> bytes;
    const unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return bytes;
    }
    LARGE_INTEGER size{};
    DWORD read = 0;
    if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 && size.QuadPart < (64 << 20)) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
            read != bytes.size()) {
            bytes.clear();
        }
    }
    return bytes;
}

// Writes the DLL copy of this executable (once per build of the probe) and returns its path.
std::wstring HookModulePath() {
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<char> image = ReadWholeFile(self);
    if (image.size() < sizeof(IMAGE_DOS_HEADER)) {
        return {};
    }
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    const auto ntOffset = static_cast<std::size_t>(dos->e_lfanew);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || ntOffset + sizeof(IMAGE_NT_HEADERS) > image.size()) {
        return {};
    }
    // The probe's own image: 32 or 64-bit headers as it was built.
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(image.data() + ntOffset);
    if (nt->Signature != IMAGE_NT_SIGNATURE) {
        return {};
    }
    const DWORD stamp = nt->FileHeader.TimeDateStamp;
    nt->FileHeader.Characteristics |= IMAGE_FILE_DLL;
    nt->OptionalHeader.AddressOfEntryPoint = 0;

    wchar_t folder[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, folder);
    wchar_t path[MAX_PATH + 64];
    wsprintfW(path, L"%szprobe_hook_%08lx_%lu.dll", folder, stamp,
              static_cast<unsigned long>(image.size()));
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
        return path;
    }
    // Written under a private name, then moved into place, so concurrent probes never see
    // half a file.
    wchar_t temporary[MAX_PATH + 64];
    wsprintfW(temporary, L"%s.%lu.tmp", path, GetCurrentProcessId());
    bool ok = false;
    if (const unique_file file(
            CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        file) {
        DWORD written = 0;
        ok = WriteFile(file.get(), image.data(), static_cast<DWORD>(image.size()), &written,
                       nullptr) &&
             written == image.size();
    }
    if (!ok || !MoveFileExW(temporary, path, 0)) {
        DeleteFileW(temporary);
    }
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES ? std::wstring(path)
                                                               : std::wstring();
}

// Fills table from inside the program's thread, through hookProc (run there from a DLL copy
// of this probe) and a shared mapping; false when that is not possible.
template <typename Table>
bool QueryInProgram(HWND main, HOOKPROC hookProc, const wchar_t* message, Table& table,
                    std::string& error) {
    const std::wstring modulePath = HookModulePath();
    HMODULE module = modulePath.empty()
                         ? nullptr
                         : LoadLibraryExW(modulePath.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!module) {
        error = "cannot prepare the hook module";
        return false;
    }
    // The same function, at its offset in the copy.
    const auto offset = reinterpret_cast<const char*>(hookProc) -
                        reinterpret_cast<const char*>(GetModuleHandleW(nullptr));
    const auto proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<const char*>(module) + offset);

    wchar_t name[64];
    MappingName(message, GetCurrentProcessId(), name);
    const unique_kernel_handle mapping(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Table), name));
    void* view =
        mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(Table))
                : nullptr;
    bool ok = false;
    error = "cannot create the shared memory";
    if (view) {
        static_cast<Table*>(view)->count = -1;
        const DWORD tid = GetWindowThreadProcessId(main, nullptr);
        error = "cannot set the hook";
        if (HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, proc, module, tid)) {
            DWORD_PTR ignored = 0;
            error = "the program did not answer";
            if (SendMessageTimeoutW(main, RegisterWindowMessageW(message), GetCurrentProcessId(), 0,
                                    SMTO_ABORTIFHUNG, kMessageTimeoutMs, &ignored)) {
                table = *static_cast<Table*>(view);
                ok = table.count >= 0;
                error = ok ? "" : "the hook did not run in the program";
            }
            UnhookWindowsHookEx(hook);
        }
        UnmapViewOfFile(view);
    }
    FreeLibrary(module);
    return ok;
}

template bool QueryInProgram(HWND, HOOKPROC, const wchar_t*, FontTable&, std::string&);

const FontRecord* FindFont(const FontTable& table, int id) {
    for (LONG i = 0; i < table.count; ++i) {
        if (table.records[i].id == id) {
            return &table.records[i];
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// The tray menu, read from inside the program: Wine refuses menu calls on another
// process's menu handle, so a hook in the program's thread copies the open popup's items
// into shared memory (the same hook module as for the fonts).

constexpr wchar_t kMenuQueryMessage[] = L"zprobe.MenuQuery";
constexpr int kMaxMenuItems = 32;

struct MenuItemRecord {
    UINT id;
    UINT type;
    UINT state;
    RECT rect;  // screen coordinates
    wchar_t text[64];
};

struct MenuTable {
    LONG count;  // -1 until the hook ran; 0 when no popup menu is open
    HWND popup;
    RECT popupRect;
    MenuItemRecord items[kMaxMenuItems];
};

BOOL CALLBACK FindOwnPopupMenu(HWND hwnd, LPARAM param) {
    wchar_t name[16] = L"";
    GetClassNameW(hwnd, name, 16);
    if (lstrcmpiW(name, L"#32768") == 0 && IsWindowVisible(hwnd)) {
        *reinterpret_cast<HWND*>(param) = hwnd;
        return FALSE;
    }
    return TRUE;
}

LRESULT CALLBACK MenuHookProc(int code, WPARAM wParam, LPARAM lParam) {
    return AnswerQuery<MenuTable>(
        code, wParam, lParam, kMenuQueryMessage, [](MenuTable& table, HWND) {
            HWND popup = nullptr;
            EnumThreadWindows(GetCurrentThreadId(), FindOwnPopupMenu,
                              reinterpret_cast<LPARAM>(&popup));
            const auto menu = popup ? reinterpret_cast<HMENU>(SendMessageW(popup, 0x01E1, 0, 0))
                                    : nullptr;  // MN_GETHMENU
            const int n = menu ? GetMenuItemCount(menu) : 0;
            table.popup = popup;
            if (popup) {
                GetWindowRect(popup, &table.popupRect);
            }
            for (int i = 0; i < n && i < kMaxMenuItems; ++i) {
                MenuItemRecord& item = table.items[table.count++];
                MENUITEMINFOW info{};
                info.cbSize = sizeof info;
                info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_STRING;
                info.dwTypeData = item.text;
                info.cch = 63;
                item.text[0] = L'\0';
                if (GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) {
                    item.id = info.wID;
                    item.type = info.fType;
                    item.state = info.fState;
                }
                GetMenuItemRect(popup, menu, static_cast<UINT>(i), &item.rect);
            }
        });
}

int CmdMenu(HWND main) {
    static MenuTable table{};
    std::string error;
    if (!QueryInProgram(main, MenuHookProc, kMenuQueryMessage, table, error)) {
        PrintError(error);
        return 1;
    }
    Json j;
    j.BeginObject().Field("open", table.popup != nullptr);
    j.Key("hwnd").Handle(table.popup);
    j.Field("rect", table.popupRect);
    j.Key("items").BeginArray();
    for (LONG i = 0; i < table.count; ++i) {
        const MenuItemRecord& item = table.items[i];
        j.BeginObject();
        j.Field("id", item.id).Field("text", std::wstring(item.text));
        j.Field("separator", (item.type & MFT_SEPARATOR) != 0);
        j.Field("enabled", (item.state & (MFS_DISABLED | MFS_GRAYED)) == 0);
        j.Field("rect", item.rect);
        j.EndObject();
    }
    j.EndArray().EndObject().Print();
    return 0;
}

}  // namespace zprobe
