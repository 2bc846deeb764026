#include "win32/win32_platform.h"

#include <vector>

#include "win32/main_window_win32.h"

namespace {

constexpr char kInstanceMutexName[] = "Local\\Orva.Zelmora.SingleInstance";

std::string ModulePath() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD n =
            GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            return {};
        }
        if (n < buffer.size()) {
            return {buffer.data(), n};
        }
        if (buffer.size() >= 32768) {
            return {};
        }
        buffer.resize(buffer.size() * 2);  // long paths: the name was cut short
    }
}

}  // namespace

Win32Runtime::Win32Runtime(Win32MainWindow& window) : window_(window) {
    char separator[8] = ".";
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, sizeof separator) == 0) {
        separator[0] = '.';
        separator[1] = '\0';
    }
    decimalSeparator_ = separator;
}

bool Win32Runtime::AnotherInstanceRunning() {
    // The mutex is held for the life of the process and released by the OS when it ends.
    instanceMutex_.reset(CreateMutexA(nullptr, /*bInitialOwner=*/FALSE, kInstanceMutexName));
    return instanceMutex_ && GetLastError() == ERROR_ALREADY_EXISTS;
}

std::string Win32Runtime::ProgramFolder() {
    const std::string path = ModulePath();
    const std::size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void Win32Runtime::YieldToPendingMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));  // leave it for the main loop
            return;
        }
        if (!window_.PreTranslateMessage(msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

void Win32Runtime::EndProcess() {
    ExitProcess(0);
}

std::string_view Win32Runtime::DecimalSeparator() {
    return decimalSeparator_;
}

std::string Win32Runtime::ProductName() {
    const std::string path = ModulePath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) {
        return {};
    }
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, info.data())) {
        return {};
    }
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translations), &length) ||
        length < sizeof(Translation)) {
        return {};
    }
    char query[64];
    wsprintfA(query, "\\StringFileInfo\\%04x%04x\\ProductName", translations[0].language,
              translations[0].codePage);
    char* name = nullptr;
    if (!VerQueryValueA(info.data(), query, reinterpret_cast<void**>(&name), &length) || !name) {
        return {};
    }
    return name;
}
