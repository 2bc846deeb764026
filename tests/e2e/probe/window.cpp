// zprobe's window and watch commands.

#include <cstdio>
#include <cwchar>

#include "probe.h"

namespace zprobe {

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
    j.Field("screen_dpi", ScreenDpi());
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
    j.Field("dpi", haveFonts ? std::optional<long long>(fonts.windowDpi) : std::nullopt);
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

// WM_SETTINGCHANGE as Group Policy broadcasts it once it has applied a change.
int CmdPolicyChanged(HWND main) {
    DWORD_PTR result = 0;
    const bool ok =
        SendMessageTimeoutW(main, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Policy"),
                            SMTO_NORMAL, 5000, &result) != 0;
    Json j;
    j.BeginObject().Field("ok", ok).EndObject().Print();
    return 0;
}

// WM_DPICHANGED as Windows sends it when the window meets another DPI: the suggested
// window rectangle (left, top, width, height) lies in the program's memory.
int CmdDpiChanged(HWND main, const std::vector<std::wstring>& args) {
    const auto at = [&args](std::size_t i) { return static_cast<LONG>(Number(args[i])); };
    const RECT suggested{at(1), at(2), at(1) + at(3), at(2) + at(4)};
    const unique_kernel_handle process(
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, ProcessOf(main)));
    void* remote = process ? VirtualAllocEx(process.get(), nullptr, sizeof suggested,
                                            MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                           : nullptr;
    DWORD_PTR ignored = 0;
    const bool ok =
        remote &&
        WriteProcessMemory(process.get(), remote, &suggested, sizeof suggested, nullptr) &&
        SendMessageTimeoutW(main, WM_DPICHANGED, MAKEWPARAM(at(0), at(0)),
                            reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                            &ignored);
    if (remote) {
        VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
    }
    Json j;
    j.BeginObject().Field("ok", ok).EndObject().Print();
    return ok ? 0 : 1;
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

}  // namespace zprobe
