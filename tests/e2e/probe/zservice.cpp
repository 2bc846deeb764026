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

#include <string>
#include <vector>

#include "platform/clock_service.h"
#include "probe.h"
#include "win32/shared/service_names.h"
#include "win32/program/win32_platform.h"

namespace {

using zprobe::Json;

std::string Error() {
    return "error " + std::to_string(GetLastError());
}

// One QueryServiceConfig2W level, written by describe from its buffer.
template <typename Info, typename Describe>
void Config2(Json& j, const char* key, SC_HANDLE service, DWORD level, Describe describe) {
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    j.Key(key);
    if (!QueryServiceConfig2W(service, level, buffer.data(), static_cast<DWORD>(buffer.size()),
                              &needed)) {
        j.String(Error());
        return;
    }
    describe(*reinterpret_cast<const Info*>(buffer.data()));
}

int Config() {
    const unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const unique_sc_handle service(manager
                                       ? OpenServiceW(manager.get(), kClockServiceName,
                                                      SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                                       : nullptr);
    Json j;
    j.BeginObject().Field("installed", static_cast<bool>(service));
    if (!service) {
        j.Field("error", Error()).EndObject().Print();
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
        j.Field("error", Error()).EndObject().Print();
        return 1;
    }
    j.Field("image", std::wstring(config->lpBinaryPathName))
        .Field("account", std::wstring(config->lpServiceStartName))
        .Field("display", std::wstring(config->lpDisplayName))
        .Field("type", config->dwServiceType)
        .Field("start", config->dwStartType);
    Config2<SERVICE_REQUIRED_PRIVILEGES_INFOW>(
        j, "privileges", service.get(), SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO,
        [&](const auto& info) {
            j.BeginArray();
            for (const wchar_t* p = info.pmszRequiredPrivileges; p && *p; p += wcslen(p) + 1) {
                j.String(std::wstring(p));
            }
            j.EndArray();
        });
    Config2<SERVICE_FAILURE_ACTIONSW>(
        j, "failure", service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, [&](const auto& info) {
            j.BeginObject().Field("reset", info.dwResetPeriod).Key("actions").BeginArray();
            for (DWORD i = 0; i < info.cActions; ++i) {
                j.BeginArray().Number(info.lpsaActions[i].Type).Number(info.lpsaActions[i].Delay);
                j.EndArray();
            }
            j.EndArray().EndObject();
        });
    Config2<SERVICE_FAILURE_ACTIONS_FLAG>(
        j, "failure_flag", service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
        [&](const auto& info) { j.Number(info.fFailureActionsOnNonCrashFailures); });
    j.Field("state", status.dwCurrentState).Field("pid", status.dwProcessId).EndObject().Print();
    return 0;
}

HANDLE Connect() {
    WaitNamedPipeW(kClockServicePipe, 5000);
    return CreateFileW(kClockServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       0, nullptr);
}

int Pipe() {
    const unique_file_handle pipe(Connect());
    unique_hlocal descriptor;
    std::optional<std::wstring> sddl;
    DWORD flags = 0;
    DWORD outSize = 0;
    DWORD inSize = 0;
    DWORD instances = 0;
    ULONG server = 0;
    Json j;
    if (!pipe ||
        GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, descriptor.put()) != ERROR_SUCCESS ||
        !(sddl = zprobe::DaclText(descriptor.get())) ||
        !GetNamedPipeInfo(pipe.get(), &flags, &outSize, &inSize, &instances) ||
        !GetNamedPipeServerProcessId(pipe.get(), &server)) {
        j.BeginObject().Field("error", Error()).EndObject().Print();
        return 1;
    }
    j.BeginObject().Field("sddl", *sddl).Field("flags", flags).Field("out", outSize);
    j.Field("in", inSize).Field("instances", instances).Field("server_pid", server);
    j.EndObject().Print();
    return 0;
}

int Ask() {
    const ULONGLONG started = GetTickCount64();
    Win32ClockService service;
    const auto answer = service.Synchronize();
    const ServiceAnswer shown = answer.value_or(ServiceAnswer{});
    Json j;
    j.BeginObject().Field("answered", answer.has_value());
    j.Field("outcome", answer ? static_cast<int>(shown.outcome) : 0).Key("time").BeginArray();
    j.Number(shown.hour).Number(shown.minute).Number(shown.second).EndArray();
    j.Field("ms", GetTickCount64() - started).EndObject().Print();
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
    Json j;
    j.BeginObject().Field("connected", hostileConnected).EndObject().Print();
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
    Json j;
    j.BeginObject().Field("error",
                          std::string("usage: zservice config|pipe|ask|hostile KIND COUNT"));
    j.EndObject().Print();
    return 2;
}
