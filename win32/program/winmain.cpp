#include <windows.h>
#include <objbase.h>

#include "app/app_core.h"
#include "timeservice/time_service.h"
#include "ui/main_form.h"
#include "win32/program/main_window_win32.h"
#include "win32/program/win32_platform.h"
#include "win32/shared/machine_values_win32.h"
#include "win32/shared/system_dll.h"

// The one place where the program is put together: the Win32 implementations of the ports,
// then the layers above them, bottom up.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    RestrictDllSearchToSystemFolder();
    // ShellExecute may run shell extensions, which expect COM on this thread.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    Win32MainWindow frmMain(instance);
    Win32Runtime runtime(frmMain);
    Win32Clock clock;
    Win32Http http;
    Win32ClockService clockService;
    Win32Shell shell;
    Win32SettingsStore settings;
    Win32Registry registry;
    Win32Tray tray(frmMain);
    Win32MachineValues machine;
    ManagedSettings managed;

    MainWindowTimeControls timeControls(frmMain);
    TimeService timeService(http, clock, clockService, runtime, timeControls, managed);
    AppCore app(frmMain, runtime, settings, registry, timeService, machine, managed);
    MainForm form(frmMain, runtime, tray, shell, timeService, app);
    frmMain.SetEvents(&form);

    if (const StartOutcome outcome = app.Main(); outcome != StartOutcome::Running) {
        return ExitCode(outcome);
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!frmMain.PreTranslateMessage(msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return 0;
}
