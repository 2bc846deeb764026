// zservice: the clock service as the end-to-end tests see it from inside the Wine prefix.
// Prints one JSON line. Commands:
//   config                 the service's registration, as the service manager reports it
//   pipe                   the pipe as a client finds it: its access list, kind, instances
//   ask                    one request as the program makes it: the answer and its time
//   hostile <kind> <count> <count> clients at once, each connects and then: empty (closes),
//                          idle (waits 5 s), garbage (8 wrong bytes), oversized (4 KiB),
//                          valid (the program's request, without waiting for the answer)
// A value that could not be read shows as "error <code>", never as absent.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/clock_service.h"
#include "win32/service_names.h"
#include "win32/win32_platform.h"

namespace {

std::string Utf8(const wchar_t* text) {
    char out[4096] = "";
    WideCharToMultiByte(CP_UTF8, 0, text ? text : L"", -1, out, sizeof out, nullptr, nullptr);
    std::string quoted = "\"";
    for (const char* c = out; *c; ++c) {
        quoted += (*c == '"' || *c == '\\') ? std::string{'\\', *c} : std::string{*c};
    }
    return quoted + "\"";
}

std::string Error() {
    return "\"error " + std::to_string(GetLastError()) + "\"";
}

// One QueryServiceConfig2W level as JSON, made by describe from its buffer.
template <typename Info, typename Describe>
std::string Config2(SC_HANDLE service, DWORD level, Describe describe) {
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!QueryServiceConfig2W(service, level, buffer.data(), static_cast<DWORD>(buffer.size()),
                              &needed)) {
        return Error();
    }
    return describe(*reinterpret_cast<const Info*>(buffer.data()));
}

int Config() {
    const unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const unique_sc_handle service(manager
                                       ? OpenServiceW(manager.get(), kClockServiceName,
                                                      SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                                       : nullptr);
    if (!service) {
        std::printf("{\"installed\":false,\"error\":%s}\n", Error().c_str());
        return 0;
    }
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
    SERVICE_STATUS_PROCESS status{};
    if (!QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed) ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        std::printf("{\"installed\":true,\"error\":%s}\n", Error().c_str());
        return 1;
    }
    const std::string privileges = Config2<SERVICE_REQUIRED_PRIVILEGES_INFOW>(
        service.get(), SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, [](const auto& info) {
            std::string list = "[";
            for (const wchar_t* p = info.pmszRequiredPrivileges; p && *p; p += wcslen(p) + 1) {
                list += (list.size() > 1 ? "," : "") + Utf8(p);
            }
            return list + "]";
        });
    const std::string failure = Config2<SERVICE_FAILURE_ACTIONSW>(
        service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, [](const auto& info) {
            std::string list =
                "{\"reset\":" + std::to_string(info.dwResetPeriod) + ",\"actions\":[";
            for (DWORD i = 0; i < info.cActions; ++i) {
                list += (i ? ",[" : "[") + std::to_string(info.lpsaActions[i].Type) + "," +
                        std::to_string(info.lpsaActions[i].Delay) + "]";
            }
            return list + "]}";
        });
    const std::string flag = Config2<SERVICE_FAILURE_ACTIONS_FLAG>(
        service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
        [](const auto& info) { return std::to_string(info.fFailureActionsOnNonCrashFailures); });
    std::printf(
        "{\"installed\":true,\"image\":%s,\"account\":%s,\"display\":%s,\"type\":%lu,"
        "\"start\":%lu,\"privileges\":%s,\"failure\":%s,\"failure_flag\":%s,\"state\":%lu,"
        "\"pid\":%lu}\n",
        Utf8(config->lpBinaryPathName).c_str(), Utf8(config->lpServiceStartName).c_str(),
        Utf8(config->lpDisplayName).c_str(), config->dwServiceType, config->dwStartType,
        privileges.c_str(), failure.c_str(), flag.c_str(), status.dwCurrentState,
        status.dwProcessId);
    return 0;
}

HANDLE Connect() {
    WaitNamedPipeW(kClockServicePipe, 5000);
    return CreateFileW(kClockServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       0, nullptr);
}

int Pipe() {
    const unique_file_handle pipe(Connect());
    if (!pipe) {
        std::printf("{\"error\":%s}\n", Error().c_str());
        return 1;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    wchar_t* sddl = nullptr;
    DWORD flags = 0;
    DWORD outSize = 0;
    DWORD inSize = 0;
    DWORD instances = 0;
    ULONG server = 0;
    if (GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr) ||
        !GetNamedPipeInfo(pipe.get(), &flags, &outSize, &inSize, &instances) ||
        !GetNamedPipeServerProcessId(pipe.get(), &server)) {
        std::printf("{\"error\":%s}\n", Error().c_str());
        return 1;
    }
    std::printf(
        "{\"sddl\":%s,\"flags\":%lu,\"out\":%lu,\"in\":%lu,\"instances\":%lu,"
        "\"server_pid\":%lu}\n",
        Utf8(sddl).c_str(), flags, outSize, inSize, instances, server);
    LocalFree(sddl);
    LocalFree(descriptor);
    return 0;
}

int Ask() {
    const ULONGLONG started = GetTickCount64();
    Win32ClockService service;
    const auto answer = service.Synchronize();
    std::printf("{\"answered\":%s,\"outcome\":%d,\"time\":[%d,%d,%d],\"ms\":%llu}\n",
                answer ? "true" : "false", answer ? static_cast<int>(answer->outcome) : 0,
                answer ? answer->hour : 0, answer ? answer->minute : 0, answer ? answer->second : 0,
                GetTickCount64() - started);
    return 0;
}

const wchar_t* hostileKind = L"";
LONG hostileConnected = 0;

DWORD WINAPI HostileClient(void*) {
    const unique_file_handle pipe(Connect());
    const std::wstring kind = hostileKind;
    if (!pipe) {
        return 0;
    }
    InterlockedIncrement(&hostileConnected);
    if (kind == L"empty") {
        return 0;
    }
    if (kind == L"idle") {
        Sleep(5000);
        return 0;
    }
    std::vector<uint8_t> bytes(kind == L"oversized" ? 4096 : 8, 'G');
    if (kind == L"valid") {
        const ServiceRequestBytes request = SynchronizeRequest();
        bytes.assign(request.begin(), request.end());
    }
    DWORD moved = 0;
    WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &moved, nullptr);
    return 0;
}

int Hostile(const wchar_t* kind, int count) {
    hostileKind = kind;
    std::vector<unique_kernel_handle> clients;
    for (int i = 0; i < count; ++i) {
        clients.emplace_back(CreateThread(nullptr, 0, HostileClient, nullptr, 0, nullptr));
    }
    for (const unique_kernel_handle& client : clients) {
        WaitForSingleObject(client.get(), INFINITE);
    }
    std::printf("{\"connected\":%ld}\n", hostileConnected);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"config") {
        return Config();
    }
    if (command == L"pipe") {
        return Pipe();
    }
    if (command == L"ask") {
        return Ask();
    }
    if (command == L"hostile" && argc > 3) {
        return Hostile(argv[2], _wtoi(argv[3]));
    }
    std::printf("{\"error\":\"usage: zservice config|pipe|ask|hostile KIND COUNT\"}\n");
    return 2;
}
