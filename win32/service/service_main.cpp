#include <windows.h>

#include <string>

#include "win32/shared/handles.h"
#include "win32/shared/service_names.h"
#include "win32/shared/system_dll.h"
#include "win32/service/service_win32.h"

// The clock service: a separate program without window, tray or shell, so that what runs
// with the right to set the time stays small. It serves one request, to synchronise once.

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;

void Report(DWORD state, DWORD exitCode = NO_ERROR) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 5000;
    SetServiceStatus(statusHandle, &status);
}

// context: the event that ends the service.
DWORD WINAPI Control(DWORD control, DWORD, void*, void* context) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            Report(SERVICE_STOP_PENDING);
            SetEvent(static_cast<HANDLE>(context));
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void Running() {
    Report(SERVICE_RUNNING);
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    const unique_kernel_handle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    statusHandle = RegisterServiceCtrlHandlerExW(kClockServiceName, Control, stopEvent.get());
    if (!statusHandle) {
        return;
    }
    Report(SERVICE_START_PENDING);
    // A failure, a failed wait included, ends with an error, which the service manager's
    // recovery acts on; only a stop ends cleanly.
    const bool served = stopEvent && ServeClockPipe(stopEvent.get(), Running);
    Report(SERVICE_STOPPED, served ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    RestrictDllSearchToSystemFolder();
    std::wstring name = kClockServiceName;
    const SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
