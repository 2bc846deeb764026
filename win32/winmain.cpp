#include <windows.h>
#include <objbase.h>

#include "app/program.h"
#include "app/startup.h"
#include "win32/main_window_win32.h"
#include "win32/win32_platform.h"
#include "ui/main_form.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // ShellExecute may run shell extensions, which expect COM on this thread.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    Win32MainWindow window(instance);
    Win32Runtime runtime(window);
    Win32Clock clock;
    Win32Http http;
    Win32Shell shell;
    Win32SettingsStore settings;
    Win32Registry registry;
    Win32Tray tray;
    Program program{window, runtime, clock, http, shell, settings, registry, tray};
    MainForm form(program);
    window.SetEvents(&form);

    if (!Main(program)) {
        return 0;
    }
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!window.PreTranslateMessage(msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return 0;
}
