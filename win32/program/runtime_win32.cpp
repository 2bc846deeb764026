#include "win32/program/win32_platform.h"

#include <vector>

#include "win32/program/main_window_win32.h"
#include "win32/program/names.h"
#include "win32/shared/system_dll.h"
#include "win32/shared/wide.h"

namespace {

constexpr wchar_t kInstanceMutexName[] = L"Local\\Orva.Zelmora.SingleInstance";

std::wstring ModulePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            return {};
        }
        if (n < buffer.size()) {
            return {buffer.data(), n};
        }
        // Beyond this no Windows path can go.
        if (buffer.size() >= 32768) {
            return {};
        }
        buffer.resize(buffer.size() * 2);  // long paths: the name was cut short
    }
}

}  // namespace

Win32Runtime::Win32Runtime(Win32MainWindow& window) : window_(window) {
    wchar_t separator[8] = L".";
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8) == 0) {
        separator[0] = L'.';
        separator[1] = L'\0';
    }
    decimalSeparator_ = Narrow(separator);
}

bool Win32Runtime::AnotherInstanceRunning() {
    // The mutex is held for the life of the process and released by the OS when it ends.
    instanceMutex_.reset(CreateMutexW(nullptr, /*bInitialOwner=*/FALSE, kInstanceMutexName));
    return instanceMutex_ && GetLastError() == ERROR_ALREADY_EXISTS;
}

void Win32Runtime::ReleaseSingleInstance() {
    instanceMutex_.reset();
}

void Win32Runtime::ShowError(std::string_view text) {
    MessageBoxW(nullptr, Widen(text).c_str(), Widen(kTitle).c_str(),
                MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

std::string Win32Runtime::ProgramFolder() {
    const std::wstring path = ModulePath();
    const std::size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::string()
                                       : Narrow(std::wstring_view(path).substr(0, slash));
}

void Win32Runtime::YieldToPendingMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));  // leave it for the main loop
            return;
        }
        if (!window_.PreTranslateMessage(msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

void Win32Runtime::EndProcess() {
    ExitProcess(0);
}

std::string_view Win32Runtime::DecimalSeparator() {
    return decimalSeparator_;
}

// version.dll is no KnownDLL: imported, it would be looked for beside the program first.
std::string Win32Runtime::ProductName() {
    decltype(&::GetFileVersionInfoSizeW) GetFileVersionInfoSizeW = nullptr;
    decltype(&::GetFileVersionInfoW) GetFileVersionInfoW = nullptr;
    decltype(&::VerQueryValueW) VerQueryValueW = nullptr;
    HMODULE version = LoadSystemDll(L"version.dll");
    if (!version || !Resolve(version, "GetFileVersionInfoSizeW", GetFileVersionInfoSizeW) ||
        !Resolve(version, "GetFileVersionInfoW", GetFileVersionInfoW) ||
        !Resolve(version, "VerQueryValueW", VerQueryValueW)) {
        return {};
    }
    const std::wstring path = ModulePath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        return {};
    }
    std::vector<char> info(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) {
        return {};
    }
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translations), &length) ||
        length < sizeof(Translation)) {
        return {};
    }
    wchar_t query[64];
    wsprintfW(query, L"\\StringFileInfo\\%04x%04x\\ProductName", translations[0].language,
              translations[0].codePage);
    wchar_t* name = nullptr;
    if (!VerQueryValueW(info.data(), query, reinterpret_cast<void**>(&name), &length) || !name) {
        return {};
    }
    return Narrow(name);
}

void Win32Runtime::DebugReport(std::string_view text) {
    OutputDebugStringW(Widen(text).c_str());
}
