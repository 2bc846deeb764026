// zservice: the clock service as the end-to-end tests see it from inside the Wine prefix.
// Prints one JSON line. Commands:
//   config                 the service's registration, as the service manager reports it
//   pipe                   the pipe as a client finds it: its access list, kind, instances
//   ask                    one request as the program makes it: the answer and its time
//   ask-anonymous          the program's request from a client that allows no identification:
//                          whether it was answered, the outcome and this process's id
//   hostile <kind> <count> <count> clients at once, each connects (trying for up to 30 s)
//                          and then: empty (closes), idle (waits 5 s), garbage (8 wrong
//                          bytes), oversized (4 KiB), valid (the program's request, without
//                          waiting for the answer); prints how many connected
//   impostor <seconds>     serves the pipe's name for that long, answering "set" to all;
//                          prints at once whether it could, at the end how many clients
//                          connected and how many asked
//   dacl <path> [sddl]     a file's or folder's access list, after setting it to sddl
//   winhttp-proxy <host:port|none> [bypass]
//                          sets the machine's WinHTTP proxy
// Named sc.exe, it stands in for the service manager's tool, whose copy sc-wine.exe beside
// it does the work: it logs each command line to C:\zprobe\sc.log, fails the commands named
// in C:\zprobe\sc-fail.txt (only pretends to run one if named ignore-<command> there),
// passes the steps Wine's service manager cannot keep (privs, sidtype, failureflag), which
// the service's registration shows as kept or not, and does `config <name> start= <kind>`,
// which Wine's sc lacks, itself.
// A value that could not be read shows as "error <code>", never as absent.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winhttp.h>

#include <fstream>
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

// The last error as the whole answer.
int Failed() {
    Json j;
    j.BeginObject().Field("error", Error()).EndObject().Print();
    return 1;
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
    Config2<SERVICE_SID_INFO>(j, "sid_type", service.get(), SERVICE_CONFIG_SERVICE_SID_INFO,
                              [&](const auto& info) { j.Number(info.dwServiceSidType); });
    j.Field("state", status.dwCurrentState).Field("pid", status.dwProcessId).EndObject().Print();
    return 0;
}

HANDLE Connect(DWORD flags = 0) {
    const ULONGLONG deadline = GetTickCount64() + 30000;
    for (;;) {
        WaitNamedPipeW(kClockServicePipe, 1000);
        HANDLE pipe = CreateFileW(kClockServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, flags, nullptr);
        if (pipe != INVALID_HANDLE_VALUE || GetTickCount64() > deadline) {
            return pipe;
        }
    }
}

int Pipe() {
    const unique_file_handle pipe(Connect());
    unique_hlocal descriptor;
    unique_hlocal owner;
    PSID ownerSid = nullptr;
    std::optional<std::wstring> sddl;
    DWORD flags = 0;
    DWORD outSize = 0;
    DWORD inSize = 0;
    DWORD instances = 0;
    ULONG server = 0;
    Json j;
    if (!pipe ||
        GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &ownerSid, nullptr,
                        nullptr, nullptr, descriptor.put()) != ERROR_SUCCESS ||
        !(sddl = zprobe::DaclText(descriptor.get())) || !ownerSid ||
        !ConvertSidToStringSidW(ownerSid, reinterpret_cast<LPWSTR*>(owner.put())) ||
        !GetNamedPipeInfo(pipe.get(), &flags, &outSize, &inSize, &instances) ||
        !GetNamedPipeServerProcessId(pipe.get(), &server)) {
        return Failed();
    }
    j.BeginObject()
        .Field("sddl", *sddl)
        .Field("owner", std::wstring(static_cast<const wchar_t*>(owner.get())));
    j.Field("flags", flags).Field("out", outSize);
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

int AskAnonymously() {
    const unique_file_handle pipe(Connect(SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS));
    const ServiceRequestBytes request = SynchronizeRequest();
    ServiceAnswerBytes answer{};
    DWORD mode = PIPE_READMODE_MESSAGE;
    DWORD moved = 0;
    const bool answered =
        pipe && SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr) &&
        WriteFile(pipe.get(), request.data(), kServiceRequestSize, &moved, nullptr) &&
        ReadFile(pipe.get(), answer.data(), kServiceAnswerSize, &moved, nullptr) &&
        moved == kServiceAnswerSize;
    const auto decoded = DecodeServiceAnswer(answer);
    Json j;
    j.BeginObject().Field("answered", answered && decoded.has_value());
    j.Field("outcome", answered && decoded ? static_cast<int>(decoded->outcome) : 0);
    j.Field("pid", GetCurrentProcessId()).EndObject().Print();
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

LONG impostorConnected = 0;
LONG impostorAsked = 0;

// An instance of the service's pipe name, as many as may be: the service's own join it.
HANDLE ImpostorInstance() {
    return CreateNamedPipeW(kClockServicePipe, PIPE_ACCESS_DUPLEX,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, PIPE_UNLIMITED_INSTANCES,
                            kServiceAnswerSize, kServiceRequestSize, 0, nullptr);
}

DWORD WINAPI ImpostorServer(void* first) {
    for (unique_file_handle pipe(static_cast<HANDLE>(first)); pipe;
         pipe.reset(ImpostorInstance())) {
        if (ConnectNamedPipe(pipe.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            InterlockedIncrement(&impostorConnected);
            std::array<uint8_t, kServiceRequestSize> request{};
            DWORD moved = 0;
            if (ReadFile(pipe.get(), request.data(), kServiceRequestSize, &moved, nullptr)) {
                InterlockedIncrement(&impostorAsked);
                const ServiceAnswerBytes answer = EncodeServiceAnswer({ServiceOutcome::Set, 3});
                WriteFile(pipe.get(), answer.data(), kServiceAnswerSize, &moved, nullptr);
                FlushFileBuffers(pipe.get());
            }
        }
        DisconnectNamedPipe(pipe.get());
    }
    return 1;
}

// The first line says whether the name is served, before any client can come.
int Impostor(int seconds) {
    unique_file_handle first(ImpostorInstance());
    Json ready;
    ready.BeginObject().Field("listening", static_cast<bool>(first)).EndObject().Print();
    if (!first) {
        return 1;
    }
    const unique_kernel_handle server(
        CreateThread(nullptr, 0, ImpostorServer, first.get(), 0, nullptr));
    if (server) {
        static_cast<void>(first.release());  // the server thread owns it
    }
    Sleep(static_cast<DWORD>(seconds) * 1000);
    Json j;
    j.BeginObject().Field("connected", impostorConnected).Field("asked", impostorAsked);
    j.EndObject().Print();
    return server ? 0 : 1;
}

// The machine's WinHTTP proxy, as `netsh winhttp set proxy` sets it; "none": direct.
int WinHttpProxy(std::wstring proxy, std::wstring bypass) {
    const bool none = proxy == L"none";
    WINHTTP_PROXY_INFO info{};
    info.dwAccessType = none ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    info.lpszProxy = none ? nullptr : proxy.data();
    info.lpszProxyBypass = none || bypass.empty() ? nullptr : bypass.data();
    if (!WinHttpSetDefaultProxyConfiguration(&info)) {
        return Failed();
    }
    Json j;
    j.BeginObject().Field("set", true).EndObject().Print();
    return 0;
}

int Dacl(const wchar_t* path, const wchar_t* wanted) {
    unique_hlocal descriptor;
    std::optional<std::wstring> sddl;
    Json j;
    if (wanted) {
        unique_hlocal set;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wanted, SDDL_REVISION_1,
                                                                  set.put(), nullptr) ||
            !GetSecurityDescriptorDacl(set.get(), &present, &dacl, &defaulted) ||
            SetNamedSecurityInfoW(const_cast<wchar_t*>(path), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr) != ERROR_SUCCESS) {
            return Failed();
        }
    }
    const DWORD error = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, nullptr, nullptr, descriptor.put());
    SetLastError(error);
    if (error != ERROR_SUCCESS || !(sddl = zprobe::DaclText(descriptor.get()))) {
        return Failed();
    }
    j.BeginObject().Field("sddl", *sddl).EndObject().Print();
    return 0;
}

// sc config <name> start= auto|demand|disabled.
int SetStart(const wchar_t* name, const std::wstring& kind) {
    const DWORD start = kind == L"auto"       ? SERVICE_AUTO_START
                        : kind == L"demand"   ? SERVICE_DEMAND_START
                        : kind == L"disabled" ? SERVICE_DISABLED
                                              : 0;  // the boot start no program may ask for
    if (start == 0) {
        return 1;
    }
    const unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const unique_sc_handle service(
        manager ? OpenServiceW(manager.get(), name, SERVICE_CHANGE_CONFIG) : nullptr);
    return service && ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, start,
                                           SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr)
               ? 0
               : 1;
}

int StandInForSc(int argc, wchar_t** argv, const std::wstring& self) {
    const std::wstring line = GetCommandLineW();
    // What follows the program's own name, quoted or not.
    const std::size_t end = line[0] == L'"' ? line.find(L'"', 1) + 1 : line.find(L' ');
    const std::wstring args =
        end == std::wstring::npos || end > line.size() ? L"" : line.substr(end);
    std::wofstream(L"C:\\zprobe\\sc.log", std::ios::app) << args << L"\n";
    const std::wstring command = argc > 1 ? argv[1] : L"";
    std::wifstream failing(L"C:\\zprobe\\sc-fail.txt");
    for (std::wstring fail; failing >> fail;) {
        if (command == fail) {
            return 1;
        }
        // Says it worked and does nothing: a service that never starts, a delete that never
        // happens.
        if (fail == L"ignore-" + command) {
            return 0;
        }
    }
    if (command == L"privs" || command == L"sidtype" || command == L"failureflag") {
        return 0;
    }
    if (command == L"config" && argc == 5 && std::wstring(argv[3]) == L"start=") {
        return SetStart(argv[2], argv[4]);
    }
    std::wstring real = L"\"" + self.substr(0, self.size() - 6) + L"sc-wine.exe\"" + args;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, real.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 1;
    }
    const unique_kernel_handle child(process.hProcess);
    const unique_kernel_handle thread(process.hThread);
    DWORD code = 1;
    WaitForSingleObject(child.get(), INFINITE);
    GetExitCodeProcess(child.get(), &code);
    return static_cast<int>(code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t self[MAX_PATH] = L"";
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length > 6 && _wcsicmp(self + length - 7, L"\\sc.exe") == 0) {
        return StandInForSc(argc, argv, std::wstring(self, length));
    }
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
    if (command == L"ask-anonymous") {
        return AskAnonymously();
    }
    if (command == L"winhttp-proxy" && argc > 2) {
        return WinHttpProxy(argv[2], argc > 3 ? argv[3] : L"");
    }
    if (command == L"hostile" && argc > 3) {
        return Hostile(argv[2], _wtoi(argv[3]));
    }
    if (command == L"impostor" && argc > 2) {
        return Impostor(_wtoi(argv[2]));
    }
    if (command == L"dacl" && argc > 2) {
        return Dacl(argv[2], argc > 3 ? argv[3] : nullptr);
    }
    Json j;
    j.BeginObject().Field("error", std::string("usage: zservice config|pipe|ask|hostile KIND "
                                               "COUNT|impostor SECONDS|dacl PATH [SDDL]"));
    j.EndObject().Print();
    return 2;
}
