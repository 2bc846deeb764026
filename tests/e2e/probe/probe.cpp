#include "probe.h"

#include <cwchar>

namespace zprobe {

// ---------------------------------------------------------------------------------------
// A minimal JSON writer: enough for objects, arrays, strings, numbers and booleans.

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

long long Number(const std::wstring& text) {
    return std::wcstoll(text.c_str(), nullptr, 0);
}

}  // namespace zprobe
