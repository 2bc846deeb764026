// zprobe's taskbar and notification-area commands.

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "probe.h"

namespace zprobe {

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

}  // namespace zprobe
