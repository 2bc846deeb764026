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
//   policy-changed                     WM_SETTINGCHANGE "Policy"
//   broadcast-taskbarcreated
//   dpi-changed <dpi> <x> <y> <w> <h>  WM_DPICHANGED suggesting that window rectangle
//   wait-window <seconds>
//   menu                        the program's open popup menu: its items and their rectangles
//   children <hwnd>             the child windows of a window (a message box's text, buttons)
//   reg-read HKLM|HKLM64|HKCU <subkey> every value's name, type and bytes as stored (text in
//                        UTF-16); HKLM64: the 64-bit view, where policies are

//                               (an error when the key exists but cannot be read)
//   key-dacl HKLM|HKCU <subkey> [sddl]
//                               a key's access list as SDDL; replaced when sddl is given
//   tray-delete [id]            removes the program's notification icon (default id 1)
//   crash                       dies of an unhandled exception (the tests' crash-dialog check)
//   serve                       commands from stdin, one per line: a number, the command and
//                               its arguments, separated by tabs; each answer ends with a
//                               line {"served":<exit code>,"command":<that number>}
//
// Texts are read with InternalGetWindowText where possible: it asks the window manager,
// not the window, so it answers even while the program is busy in a download.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "probe.h"

using namespace zprobe;

namespace {

// An unhandled exception in a process of the prefix: Wine shows its crash dialog, which the
// tests must notice.
int CmdCrash() {
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return 3;
}

int Usage() {
    PrintError(
        "usage: zprobe dump|status|watch|windows|tray|tooltips|send|post|policy-changed|"
        "broadcast-taskbarcreated|dpi-changed|wait-window|menu|children|reg-read|key-dacl|"
        "tray-delete|crash|serve ...");
    return 2;
}

int Run(const std::wstring& command, const std::vector<std::wstring>& args) {
    HWND main = FindMainWindow();
    // These act on the main window.
    if (!main &&
        (command == L"watch" || command == L"send" || command == L"post" || command == L"menu" ||
         command == L"tray-delete" || command == L"dpi-changed" || command == L"policy-changed")) {
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
    if (command == L"dpi-changed" && args.size() >= 5) {
        return CmdDpiChanged(main, args);
    }
    if (command == L"policy-changed") {
        return CmdPolicyChanged(main);
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
        PrintError("root must be HKLM, HKLM64 or HKCU");
        return 2;
    }
    if (command == L"reg-read" && args.size() >= 2) {
        return CmdRegRead(root, args[1], args[0] == L"HKLM64" ? KEY_WOW64_64KEY : 0);
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

// A line longer than this (its line break included) is refused, never split into two commands.
constexpr int kServeLineBytes = 8192;

// Starting a Wine process takes a second under emulation: the tests ask one probe many times.
int Serve() {
    char line[kServeLineBytes];
    while (std::fgets(line, sizeof line, stdin)) {
        const long number = std::strtol(line, nullptr, 10);
        int code = 2;
        if (!std::strchr(line, '\n') && !std::feof(stdin)) {
            for (int c = 0; c != '\n' && c != EOF;) {
                c = std::getchar();
            }
            PrintError("a command line longer than the probe reads");
        } else {
            std::vector<std::wstring> fields;
            std::wstring rest = Widen(std::string_view(line, std::strcspn(line, "\r\n")));
            for (size_t tab; (tab = rest.find(L'\t')) != std::wstring::npos;
                 rest.erase(0, tab + 1)) {
                fields.push_back(rest.substr(0, tab));
            }
            fields.push_back(rest);
            if (fields.size() < 2 || fields[1] == L"serve") {
                code = Usage();
            } else {
                code = Run(fields[1], std::vector<std::wstring>(fields.begin() + 2, fields.end()));
            }
        }
        std::printf("{\"served\":%d,\"command\":%ld}\n", code, number);
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Physical pixels and the screen's real DPI, as the DPI-aware program sees them: Wine 10
    // scales both for programs that do not say they are aware.
    SetProcessDPIAware();
    if (argc < 2) {
        return Usage();
    }
    if (std::wstring(argv[1]) == L"serve") {
        return Serve();
    }
    return Run(argv[1], std::vector<std::wstring>(argv + 2, argv + argc));
}
