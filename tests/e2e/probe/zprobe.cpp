// zprobe: reads the running program's window back for the end-to-end tests.
//
// Runs under the same Wine prefix (and virtual desktop) as the program and prints one JSON
// document to stdout. Commands:
//   dump                        the main window and every control
//   status                      the status line only; works while the window is frozen
//   watch <id> <seconds> [--mark TEXT] [final-prefix ...]
//                               polls a control's text and prints each change; stops early
//                               once the text changed and starts with a final prefix
//                               (a first line {"watching":true} says polling has begun);
//                               --mark sets the text to TEXT first
//   windows                     top-level windows (finds message boxes and stray windows)
//   tray                        the taskbar, its buttons and the notification-area icons
//   tooltips                    visible tooltip windows and their texts
//   send <msg> <wparam> <lparam> [timeout-ms]
//   post <msg> <wparam> <lparam>
//   broadcast-taskbarcreated
//   wait-window <seconds>
//   menu                        the program's open popup menu: its items and their rectangles
//   children <hwnd>             the child windows of a window (a message box's text, buttons)
//   reg-read HKLM|HKCU <subkey> every value's name, type and bytes as stored (text in UTF-16)
//                               (an error when the key exists but cannot be read)
//   key-dacl HKLM|HKCU <subkey> [sddl]
//                               a key's access list as SDDL; replaced when sddl is given
//   tray-delete [id]            removes the program's notification icon (default id 1)
//   crash                       dies of an unhandled exception (the tests' crash-dialog check)
//
// Texts are read with InternalGetWindowText where possible: it asks the window manager,
// not the window, so it answers even while the program is busy in a download.

#include <windows.h>
#include <commctrl.h>
#include <sddl.h>
#include <shellapi.h>

#include <concepts>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "win32/handles.h"

namespace {

// The product's owners, and one for files, whose invalid value is not null.
struct FileTraits {
    using pointer = HANDLE;
    static pointer invalid() { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) { CloseHandle(h); }
};
using unique_file = unique_handle<FileTraits>;

constexpr wchar_t kMainClass[] = L"ZelmoraMainWindow";
constexpr wchar_t kFontQueryMessage[] = L"zprobe.FontQuery";
constexpr UINT kMessageTimeoutMs = 2000;
constexpr int kMaxControls = 64;

// ---------------------------------------------------------------------------------------
// A minimal JSON writer: enough for objects, arrays, strings, numbers and booleans.

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

class Json {
public:
    Json& BeginObject() { return Open('{'); }
    Json& EndObject() { return Close('}'); }
    Json& BeginArray() { return Open('['); }
    Json& EndArray() { return Close(']'); }

    Json& Key(const char* key) {
        Separator();
        Quoted(key);
        out_ += ':';
        afterKey_ = true;
        return *this;
    }

    Json& String(const std::string& s) {
        Value();
        Quoted(s);
        return *this;
    }
    Json& String(const std::wstring& s) { return String(Utf8(s)); }
    Json& Number(long long n) { return Raw(std::to_string(n)); }
    Json& Bool(bool b) { return Raw(b ? "true" : "false"); }
    Json& Null() { return Raw("null"); }
    Json& Handle(const void* h) {
        return Number(static_cast<long long>(reinterpret_cast<INT_PTR>(h)));
    }

    Json& Rect(const RECT& r) {
        BeginArray();
        Number(r.left).Number(r.top).Number(r.right - r.left).Number(r.bottom - r.top);
        return EndArray();
    }

    Json& Field(const char* key, const std::string& value) { return Key(key).String(value); }
    Json& Field(const char* key, const std::wstring& value) { return Key(key).String(value); }
    Json& Field(const char* key, bool value) { return Key(key).Bool(value); }
    template <std::integral T>
    Json& Field(const char* key, T value) {
        return Key(key).Number(static_cast<long long>(value));
    }
    Json& Field(const char* key, const RECT& value) { return Key(key).Rect(value); }
    Json& Field(const char* key, std::optional<long long> value) {
        Key(key);
        return value ? Number(*value) : Null();
    }

    void Print() const {
        std::fwrite(out_.data(), 1, out_.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

private:
    void Separator() {
        if (!first_.empty()) {
            if (!first_.back()) {
                out_ += ',';
            }
            first_.back() = false;
        }
    }

    void Value() {
        if (afterKey_) {
            afterKey_ = false;
        } else {
            Separator();
        }
    }

    Json& Open(char bracket) {
        Value();
        out_ += bracket;
        first_.push_back(true);
        return *this;
    }
    Json& Close(char bracket) {
        out_ += bracket;
        first_.pop_back();
        return *this;
    }
    Json& Raw(const std::string& text) {
        Value();
        out_ += text;
        return *this;
    }

    void Quoted(const std::string& s) {
        out_ += '"';
        for (const char c : s) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                out_ += escaped;
            } else {
                out_ += (c == '"' || c == '\\') ? std::string{'\\', c} : std::string{c};
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};

void PrintError(const std::string& message) {
    Json j;
    j.BeginObject().Field("error", message).EndObject();
    j.Print();
}

// ---------------------------------------------------------------------------------------
// Window helpers.

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[256] = L"";
    GetClassNameW(hwnd, name, 256);
    return name;
}

bool IsClass(HWND hwnd, const wchar_t* name) {
    return _wcsicmp(ClassOf(hwnd).c_str(), name) == 0;
}

// The text the window manager holds; never waits for the window's thread.
std::wstring ServerText(HWND hwnd) {
    wchar_t text[1024] = L"";
    InternalGetWindowText(hwnd, text, 1024);
    return text;
}

// The text as the control itself reports it (an edit box keeps its own copy).
std::optional<std::wstring> MessageText(HWND hwnd) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                             &length)) {
        return std::nullopt;
    }
    std::vector<wchar_t> buffer(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, buffer.size(),
                             reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG,
                             kMessageTimeoutMs, &copied)) {
        return std::nullopt;
    }
    return std::wstring(buffer.data(), copied);
}

DWORD ProcessOf(HWND hwnd) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

HWND FindMainWindow() {
    return FindWindowW(kMainClass, nullptr);
}

int ScreenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi;
}

RECT WindowRect(HWND hwnd) {
    RECT r{};
    GetWindowRect(hwnd, &r);
    return r;
}

RECT RectInClient(HWND child, HWND parent) {
    RECT r = WindowRect(child);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

bool Responsive(HWND hwnd) {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &ignored) != 0;
}

// What every window listing reports: the handle, class, screen rectangle and visibility.
void WindowFields(Json& j, HWND hwnd) {
    j.Key("hwnd").Handle(hwnd).Field("class", ClassOf(hwnd)).Field("rect", WindowRect(hwnd));
    j.Field("visible", IsWindowVisible(hwnd) != FALSE);
}

std::vector<HWND> ChildrenInZOrder(HWND parent) {
    std::vector<HWND> children;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        children.push_back(c);
    }
    return children;
}

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
    return TRUE;
}

std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> all;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
    return all;
}

// ---------------------------------------------------------------------------------------
// Fonts. A font handle means nothing outside the process that made it, so a hook running
// inside the program's thread reads each control's LOGFONT into shared memory.
//
// A hook's code is loaded into the program as a library. An EXE loaded that way gets no
// imports resolved, so the hook module is a copy of this file marked as a DLL without an
// entry point: the loader resolves its imports and runs none of its start-up code.

struct FontRecord {
    int id;
    int valid;
    LOGFONTW font;
    wchar_t realizedFace[LF_FACESIZE];
    int realizedHeight;
    int realizedWeight;
};

struct FontTable {
    LONG count;
    FontRecord records[kMaxControls];
};

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

const FontRecord* FindFont(const FontTable& table, int id) {
    for (LONG i = 0; i < table.count; ++i) {
        if (table.records[i].id == id) {
            return &table.records[i];
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// Commands.

bool IsCheckBox(HWND hwnd, LONG style) {
    if (!IsClass(hwnd, L"Button")) {
        return false;
    }
    const LONG type = style & BS_TYPEMASK;
    return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE ||
           type == BS_AUTO3STATE;
}

// A busy program answers no messages; then only what the window manager knows is reported.
void WriteControl(Json& j, HWND main, HWND child, int zorder, bool responsive,
                  const FontTable* fonts) {
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    const LONG exStyle = GetWindowLongW(child, GWL_EXSTYLE);
    const int id = GetDlgCtrlID(child);

    j.BeginObject();
    j.Field("id", id).Key("hwnd").Handle(child);
    j.Field("class", ClassOf(child));
    const auto text = responsive ? MessageText(child) : std::nullopt;
    j.Field("text", text.value_or(ServerText(child)));
    j.Field("server_text", ServerText(child));
    j.Field("rect", RectInClient(child, main)).Field("screen_rect", WindowRect(child));
    j.Field("visible", IsWindowVisible(child) != FALSE);
    j.Field("enabled", IsWindowEnabled(child) != FALSE);
    j.Field("style", static_cast<DWORD>(style));
    j.Field("exstyle", static_cast<DWORD>(exStyle));
    j.Field("zorder", zorder);
    DWORD_PTR check = 0;
    const bool checked =
        responsive && IsCheckBox(child, style) &&
        SendMessageTimeoutW(child, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &check);
    j.Field("check", checked ? std::optional(static_cast<long long>(check)) : std::nullopt);
    j.Key("font");
    const FontRecord* font = fonts ? FindFont(*fonts, id) : nullptr;
    if (font && font->valid) {
        j.BeginObject();
        j.Field("face", std::wstring(font->font.lfFaceName));
        j.Field("height", static_cast<int>(font->font.lfHeight));
        j.Field("weight", static_cast<int>(font->font.lfWeight));
        j.Field("italic", font->font.lfItalic != 0);
        j.Field("underline", font->font.lfUnderline != 0);
        j.Field("charset", static_cast<int>(font->font.lfCharSet));
        j.Field("realized_face", std::wstring(font->realizedFace));
        j.Field("realized_height", font->realizedHeight);
        j.Field("realized_weight", font->realizedWeight);
        j.EndObject();
    } else {
        j.Null();
    }
    j.EndObject();
}

int CmdDump(HWND main) {
    Json j;
    j.BeginObject();
    j.Field("dpi", ScreenDpi());
    j.Field("found", main != nullptr);
    if (!main) {
        j.EndObject().Print();
        return 1;
    }
    DWORD pid = 0;
    const DWORD tid = GetWindowThreadProcessId(main, &pid);
    RECT client{};
    GetClientRect(main, &client);
    POINT origin{0, 0};
    ClientToScreen(main, &origin);
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    const bool haveGui = GetGUIThreadInfo(tid, &gui) != FALSE;
    const bool responsive = Responsive(main);

    j.Key("hwnd").Handle(main);
    j.Field("pid", pid);
    j.Field("responsive", responsive);
    j.Field("visible", IsWindowVisible(main) != FALSE);
    j.Field("iconic", IsIconic(main) != FALSE);
    j.Field("enabled", IsWindowEnabled(main) != FALSE);
    j.Field("foreground", GetForegroundWindow() == main);
    j.Field("active", haveGui && gui.hwndActive == main);
    j.Field("title", ServerText(main));
    j.Field("style", static_cast<DWORD>(GetWindowLongW(main, GWL_STYLE)));
    j.Field("exstyle", static_cast<DWORD>(GetWindowLongW(main, GWL_EXSTYLE)));
    j.Field("window_rect", WindowRect(main));
    j.Key("client_size").BeginArray().Number(client.right).Number(client.bottom).EndArray();
    j.Key("client_origin").BeginArray().Number(origin.x).Number(origin.y).EndArray();
    HWND focus = haveGui ? gui.hwndFocus : nullptr;
    j.Field("focus_id",
            focus ? std::optional(focus == main ? 0 : GetDlgCtrlID(focus)) : std::nullopt);
    HWND capture = haveGui ? gui.hwndCapture : nullptr;
    j.Field("capture_id", capture ? std::optional(GetDlgCtrlID(capture)) : std::nullopt);

    static FontTable fonts{};
    std::string fontError = "the program is not responding";
    const bool haveFonts =
        responsive && QueryInProgram(main, FontHookProc, kFontQueryMessage, fonts, fontError);
    j.Field("fonts_read", haveFonts);
    if (!haveFonts) {
        j.Field("fonts_error", fontError);
    }
    j.Key("controls").BeginArray();
    const std::vector<HWND> children = ChildrenInZOrder(main);
    for (std::size_t i = 0; i < children.size(); ++i) {
        WriteControl(j, main, children[i], static_cast<int>(i), responsive,
                     haveFonts ? &fonts : nullptr);
    }
    j.EndArray();
    j.EndObject().Print();
    return 0;
}

int CmdStatus(HWND main) {
    Json j;
    j.BeginObject().Field("found", main != nullptr);
    if (main) {
        j.Field("status", ServerText(GetDlgItem(main, 115)));
        j.Field("time", ServerText(GetDlgItem(main, 108)));
        j.Field("responsive", Responsive(main));
        j.Field("visible", IsWindowVisible(main) != FALSE);
        j.Field("iconic", IsIconic(main) != FALSE);
    }
    j.EndObject().Print();
    return main ? 0 : 1;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// mark, when not empty, replaces the control's text first: an outcome equal to the text
// shown before is then still seen as a change, however fast it comes.
int CmdWatch(HWND main, int id, double seconds, const std::wstring& mark,
             const std::vector<std::wstring>& finals) {
    HWND control = GetDlgItem(main, id);
    DWORD_PTR ignored = 0;
    if (!mark.empty() &&
        !SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(mark.c_str()),
                             SMTO_ABORTIFHUNG, kMessageTimeoutMs, &ignored)) {
        PrintError("cannot mark the control");
        return 1;
    }
    // Tells the caller that polling has begun, so it can start the operation.
    std::fputs("{\"watching\":true}\n", stdout);
    std::fflush(stdout);
    const ULONGLONG start = GetTickCount64();
    const auto limit = static_cast<ULONGLONG>(seconds * 1000);
    std::wstring last = ServerText(control);
    struct Change {
        ULONGLONG ms;
        std::wstring text;
    };
    std::vector<Change> changes{{0, last}};
    bool finished = false;
    while (GetTickCount64() - start < limit) {
        Sleep(5);
        const std::wstring now = ServerText(control);
        if (now == last) {
            continue;
        }
        last = now;
        changes.push_back({GetTickCount64() - start, now});
        for (const auto& prefix : finals) {
            if (StartsWith(now, prefix)) {
                finished = true;
            }
        }
        if (finished) {
            break;
        }
    }
    Json j;
    j.BeginObject().Field("finished", finished);
    j.Key("changes").BeginArray();
    for (const Change& c : changes) {
        j.BeginObject()
            .Key("ms")
            .Number(static_cast<long long>(c.ms))
            .Field("text", c.text)
            .EndObject();
    }
    j.EndArray().EndObject().Print();
    return 0;
}

int CmdWindows() {
    Json j;
    j.BeginObject().Key("foreground").Handle(GetForegroundWindow());
    j.Key("windows").BeginArray();
    for (HWND hwnd : TopLevelWindows()) {
        j.BeginObject();
        WindowFields(j, hwnd);
        j.Field("title", ServerText(hwnd)).Field("pid", ProcessOf(hwnd));
        j.Key("owner").Handle(GetWindow(hwnd, GW_OWNER)).EndObject();
    }
    j.EndArray().EndObject().Print();
    return 0;
}

// A tooltip's tools live in the taskbar's process; the tool records are read through a
// buffer allocated there.
struct RemoteTool {
    TTTOOLINFOW info;
    wchar_t text[256];
};

std::vector<RemoteTool> ReadTools(HWND tooltip) {
    std::vector<RemoteTool> tools;
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(tooltip, TTM_GETTOOLCOUNT, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                             &count) ||
        count == 0) {
        return tools;
    }
    const unique_kernel_handle owner(OpenProcess(
        PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, ProcessOf(tooltip)));
    HANDLE process = owner.get();
    if (!process) {
        return tools;
    }
    auto* remote = static_cast<RemoteTool*>(VirtualAllocEx(
        process, nullptr, sizeof(RemoteTool), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (remote) {
        for (DWORD_PTR i = 0; i < count; ++i) {
            RemoteTool local{};
            local.info.cbSize = sizeof local.info;
            local.info.lpszText = remote->text;
            DWORD_PTR ok = 0;
            if (!WriteProcessMemory(process, remote, &local, sizeof local, nullptr) ||
                !SendMessageTimeoutW(tooltip, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(remote),
                                     SMTO_ABORTIFHUNG, kMessageTimeoutMs, &ok) ||
                !ok || !ReadProcessMemory(process, remote, &local, sizeof local, nullptr)) {
                continue;
            }
            local.text[255] = L'\0';
            if (local.info.lpszText != remote->text) {
                local.text[0] = L'\0';  // a callback or resource text, not a string
            }
            tools.push_back(local);
        }
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    return tools;
}

// Screen rectangle of a tool: the whole window for TTF_IDISHWND, else its client rectangle.
RECT ToolScreenRect(const TTTOOLINFOW& tool) {
    if (tool.uFlags & TTF_IDISHWND) {
        return WindowRect(reinterpret_cast<HWND>(tool.uId));
    }
    RECT r = tool.rect;
    MapWindowPoints(tool.hwnd, HWND_DESKTOP, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

int CmdTray(HWND main) {
    HWND tray = FindWindowW(L"Shell_TrayWnd", nullptr);
    Json j;
    j.BeginObject().Field("found", tray != nullptr);
    if (!tray) {
        j.EndObject().Print();
        return 1;
    }
    const DWORD trayPid = ProcessOf(tray);
    WindowFields(j, tray);

    // Taskbar buttons carry the window they stand for as their control id.
    j.Key("children").BeginArray();
    for (HWND child : ChildrenInZOrder(tray)) {
        const auto target = static_cast<INT_PTR>(GetWindowLongPtrW(child, GWLP_ID));
        j.BeginObject();
        WindowFields(j, child);
        j.Field("text", ServerText(child)).Key("id").Number(target);
        j.Field("is_main_window", main != nullptr && target == reinterpret_cast<INT_PTR>(main));
        j.EndObject();
    }
    j.EndArray();

    // Each notification-area icon has a tooltip window whose one tool covers the icon.
    j.Key("icons").BeginArray();
    for (HWND hwnd : TopLevelWindows()) {
        if (ProcessOf(hwnd) != trayPid || !IsClass(hwnd, TOOLTIPS_CLASSW)) {
            continue;
        }
        for (const RemoteTool& tool : ReadTools(hwnd)) {
            const bool onTray = tool.info.hwnd == tray || IsChild(tray, tool.info.hwnd);
            if (!onTray) {
                continue;
            }
            j.BeginObject();
            j.Field("tip", std::wstring(tool.text));
            j.Field("rect", ToolScreenRect(tool.info));
            j.Key("tooltip_hwnd").Handle(hwnd);
            j.Key("tool_hwnd").Handle(tool.info.hwnd);
            j.Field("tool_flags", static_cast<unsigned>(tool.info.uFlags));
            j.EndObject();
        }
    }
    j.EndArray();
    j.EndObject().Print();
    return 0;
}

int CmdTooltips() {
    Json j;
    j.BeginObject().Key("tooltips").BeginArray();
    for (HWND hwnd : TopLevelWindows()) {
        if (!IsClass(hwnd, TOOLTIPS_CLASSW) || !IsWindowVisible(hwnd)) {
            continue;
        }
        j.BeginObject();
        WindowFields(j, hwnd);
        j.Field("text", MessageText(hwnd).value_or(ServerText(hwnd)));
        j.Field("pid", ProcessOf(hwnd)).EndObject();
    }
    j.EndArray().EndObject().Print();
    return 0;
}

UINT MessageNumber(const std::wstring& name) {
    struct Named {
        const wchar_t* name;
        UINT value;
    };
    const Named named[] = {
        {L"WM_CLOSE", WM_CLOSE},           {L"WM_QUERYENDSESSION", WM_QUERYENDSESSION},
        {L"WM_ENDSESSION", WM_ENDSESSION}, {L"WM_NULL", WM_NULL},
        {L"WM_SYSCOMMAND", WM_SYSCOMMAND}, {L"WM_COMMAND", WM_COMMAND},
        {L"WM_MOUSEMOVE", WM_MOUSEMOVE},
    };
    for (const Named& n : named) {
        if (name == n.name) {
            return n.value;
        }
    }
    if (name == L"TaskbarCreated") {
        return RegisterWindowMessageW(L"TaskbarCreated");
    }
    return static_cast<UINT>(std::wcstoul(name.c_str(), nullptr, 0));
}

long long Number(const std::wstring& text) {
    return std::wcstoll(text.c_str(), nullptr, 0);
}

int CmdSend(HWND main, bool post, const std::vector<std::wstring>& args) {
    const UINT message = MessageNumber(args[0]);
    const auto wParam = static_cast<WPARAM>(Number(args[1]));
    const auto lParam = static_cast<LPARAM>(Number(args[2]));
    Json j;
    j.BeginObject().Field("message", message);
    if (post) {
        j.Field("ok", PostMessageW(main, message, wParam, lParam) != FALSE);
    } else {
        const auto timeout = static_cast<UINT>(args.size() > 3 ? Number(args[3]) : 5000);
        DWORD_PTR result = 0;
        const bool ok =
            SendMessageTimeoutW(main, message, wParam, lParam, SMTO_NORMAL, timeout, &result) != 0;
        j.Field("ok", ok).Key("result").Number(static_cast<long long>(result));
    }
    j.EndObject().Print();
    return 0;
}

int CmdBroadcastTaskbarCreated() {
    const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    DWORD_PTR ignored = 0;
    const bool ok =
        SendMessageTimeoutW(HWND_BROADCAST, message, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored) != 0;
    Json j;
    j.BeginObject().Field("message", message).Field("ok", ok).EndObject().Print();
    return 0;
}

int CmdWaitWindow(double seconds) {
    const ULONGLONG start = GetTickCount64();
    const auto limit = static_cast<ULONGLONG>(seconds * 1000);
    for (;;) {
        HWND main = FindMainWindow();
        const bool done = main != nullptr && IsWindowVisible(main);
        if (done || GetTickCount64() - start >= limit) {
            Json j;
            j.BeginObject().Field("ok", done).Field("found", main != nullptr);
            j.Key("ms").Number(static_cast<long long>(GetTickCount64() - start));
            j.EndObject().Print();
            return done ? 0 : 1;
        }
        Sleep(50);
    }
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

// The child windows of any top-level window (a message box's text and buttons).
int CmdChildren(HWND parent) {
    if (!IsWindow(parent)) {
        PrintError("no such window");
        return 1;
    }
    Json j;
    j.BeginObject().Key("hwnd").Handle(parent);
    j.Field("class", ClassOf(parent)).Field("title", ServerText(parent));
    j.Key("children").BeginArray();
    for (HWND child : ChildrenInZOrder(parent)) {
        j.BeginObject();
        WindowFields(j, child);
        j.Field("id", GetDlgCtrlID(child));
        j.Field("text", MessageText(child).value_or(ServerText(child)));
        j.Field("style", static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE)));
        j.EndObject();
    }
    j.EndArray().EndObject().Print();
    return 0;
}

HKEY RootKey(const std::wstring& name) {
    if (name == L"HKLM") {
        return HKEY_LOCAL_MACHINE;
    }
    if (name == L"HKCU") {
        return HKEY_CURRENT_USER;
    }
    return nullptr;
}

// A key's values exactly as the ANSI functions the program uses see them: name, type and
// bytes. A key that does not exist is told apart from one that could not be read.
int CmdRegRead(HKEY root, const std::wstring& subkey) {
    unique_hkey key;
    LONG status = RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE, key.put());
    if (status == ERROR_FILE_NOT_FOUND) {
        Json j;
        j.BeginObject().Field("key_exists", false).EndObject().Print();
        return 0;
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
        LPWSTR text = nullptr;
        if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
                current.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
            before = text;
            LocalFree(text);
        }
    }
    Json j;
    j.BeginObject().Field("before", before);
    if (sddl) {
        PSECURITY_DESCRIPTOR wanted = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl->c_str(), SDDL_REVISION_1,
                                                                  &wanted, nullptr)) {
            PrintError("bad SDDL");
            return 2;
        }
        status = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, wanted);
        LocalFree(wanted);
        j.Field("set", status == ERROR_SUCCESS).Field("status", status);
    }
    j.EndObject().Print();
    return 0;
}

// Removes the program's notification icon behind its back, as a restarted taskbar forgets it.
int CmdTrayDelete(HWND main, UINT id) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = main;
    data.uID = id;
    Json j;
    j.BeginObject().Field("ok", Shell_NotifyIconW(NIM_DELETE, &data) != FALSE).EndObject().Print();
    return 0;
}

// An unhandled exception in a process of the prefix: Wine shows its crash dialog, which the
// tests must notice.
int CmdCrash() {
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return 3;
}

int Usage() {
    PrintError(
        "usage: zprobe dump|status|watch|windows|tray|tooltips|send|post|"
        "broadcast-taskbarcreated|wait-window|menu|children|reg-read|key-dacl|"
        "tray-delete|crash ...");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Physical pixels and the screen's real DPI, as the DPI-aware program sees them: Wine 10
    // scales both for programs that do not say they are aware.
    SetProcessDPIAware();
    if (argc < 2) {
        return Usage();
    }
    const std::wstring command = argv[1];
    std::vector<std::wstring> args(argv + 2, argv + argc);
    HWND main = FindMainWindow();
    // These act on the main window.
    if (!main && (command == L"watch" || command == L"send" || command == L"post" ||
                  command == L"menu" || command == L"tray-delete")) {
        PrintError("main window not found");
        return 1;
    }
    if (command == L"dump") {
        return CmdDump(main);
    }
    if (command == L"status") {
        return CmdStatus(main);
    }
    if (command == L"watch" && args.size() >= 2) {
        auto first = args.begin() + 2;
        std::wstring mark;
        if (args.size() >= 4 && *first == L"--mark") {
            mark = first[1];
            first += 2;
        }
        return CmdWatch(main, static_cast<int>(Number(args[0])),
                        std::wcstod(args[1].c_str(), nullptr), mark,
                        std::vector<std::wstring>(first, args.end()));
    }
    if (command == L"windows") {
        return CmdWindows();
    }
    if (command == L"tray") {
        return CmdTray(main);
    }
    if (command == L"tooltips") {
        return CmdTooltips();
    }
    if ((command == L"send" || command == L"post") && args.size() >= 3) {
        return CmdSend(main, command == L"post", args);
    }
    if (command == L"broadcast-taskbarcreated") {
        return CmdBroadcastTaskbarCreated();
    }
    if (command == L"wait-window" && !args.empty()) {
        return CmdWaitWindow(std::wcstod(args[0].c_str(), nullptr));
    }
    if (command == L"menu") {
        return CmdMenu(main);
    }
    if (command == L"children" && !args.empty()) {
        return CmdChildren(reinterpret_cast<HWND>(static_cast<INT_PTR>(Number(args[0]))));
    }
    HKEY root = args.empty() ? nullptr : RootKey(args[0]);
    if ((command == L"reg-read" || command == L"key-dacl") && !root) {
        PrintError("root must be HKLM or HKCU");
        return 2;
    }
    if (command == L"reg-read" && args.size() >= 2) {
        return CmdRegRead(root, args[1]);
    }
    if (command == L"key-dacl" && args.size() >= 2) {
        return CmdKeyDacl(root, args[1], args.size() >= 3 ? &args[2] : nullptr);
    }
    if (command == L"tray-delete") {
        return CmdTrayDelete(main, args.empty() ? 1 : static_cast<UINT>(Number(args[0])));
    }
    if (command == L"crash") {
        return CmdCrash();
    }
    return Usage();
}
