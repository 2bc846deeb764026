#include "win32/program/pipe_io.h"
#include "win32/shared/service_names.h"
#include "win32/program/win32_platform.h"

namespace {

// The process id of the running clock service, from the service manager; 0 when it is not
// installed or not running.
DWORD RunningServicePid() {
    const unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return 0;
    }
    const unique_sc_handle service(
        OpenServiceW(manager.get(), kClockServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed) ||
        status.dwCurrentState != SERVICE_RUNNING) {
        return 0;
    }
    return status.dwProcessId;
}

// A connection to the pipe, waiting for a free instance until deadline. Identification
// only: whoever serves the pipe cannot act as this user.
unique_file_handle ConnectPipe(ULONGLONG deadline) {
    for (;;) {
        unique_file_handle pipe(CreateFileW(
            kClockServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        const ULONGLONG now = GetTickCount64();
        if (pipe || GetLastError() != ERROR_PIPE_BUSY || now >= deadline) {
            return pipe;
        }
        WaitNamedPipeW(kClockServicePipe, static_cast<DWORD>(deadline - now));
    }
}

}  // namespace

// At most kClockServiceConnectMs for a free instance, then kClockServiceAnswerMs and a
// margin for the answer, however the service or an impostor behaves.
std::optional<ServiceAnswer> Win32ClockService::Synchronize() {
    const DWORD servicePid = RunningServicePid();
    if (servicePid == 0) {
        return std::nullopt;
    }
    const unique_file_handle pipe = ConnectPipe(GetTickCount64() + kClockServiceConnectMs);
    ULONG serverPid = 0;
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!pipe || !GetNamedPipeServerProcessId(pipe.get(), &serverPid) || serverPid != servicePid ||
        !SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
        return std::nullopt;
    }
    const ULONGLONG deadline =
        GetTickCount64() + kClockServiceAnswerMs + kClockServiceClientMarginMs;
    const ServiceRequestBytes request = SynchronizeRequest();
    if (WritePipe(pipe.get(), request.data(), request.size(), deadline) !=
        static_cast<int64_t>(request.size())) {
        return std::nullopt;
    }
    ServiceAnswerBytes answer{};
    const int64_t read = ReadPipe(pipe.get(), answer.data(), answer.size(), deadline);
    if (read != static_cast<int64_t>(answer.size())) {
        return std::nullopt;
    }
    return DecodeServiceAnswer(answer);
}
