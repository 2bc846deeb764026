#include <windows.h>
#include <process.h>
#include <sddl.h>

#include <array>
#include <memory>
#include <span>
#include <vector>

#include "timeservice/service_synchronizer.h"
#include "timeservice/time_service.h"
#include "win32/shared/handles.h"
#include "win32/shared/service_names.h"
#include "win32/service/service_win32.h"
#include "win32/shared/clock_win32.h"
#include "win32/shared/machine_values_win32.h"
#include "win32/shared/wide.h"

namespace {

// Read afresh for every synchronisation: only administrators can write them, and a service
// gets no word when a policy changes.
ManagedSettings ReadManaged() {
    Win32MachineValues machine;
    ManagedSettings managed;
    managed.Read(machine);
    return managed;
}

PageChoice ConfiguredPage(const ManagedSettings& managed) {
    return managed.TimePage(TimePageUrl(), /*httpsOnly=*/true);
}

// The page a record names.
std::string RecordedPage() {
    return ConfiguredPage(ReadManaged()).url;
}

// One synchronisation, shared by the server and its worker, which may outlive the server.
struct Job {
    unique_kernel_handle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ServiceSync sync;
    ServiceClient asker;  // whose request started it
    std::string url;      // the page it fetched
    std::string refusal;  // why it fetched none
    DWORD error = 0;      // why the clock could not be set
    // Past it the server lets the job go (its late page is never used): a close of its request
    // does not end a synchronous WinHTTP call everywhere (not under Wine).
    ULONGLONG deadline = GetTickCount64() + kClockServiceAnswerMs + kClockServiceRequestMs;
};

unsigned __stdcall JobThread(void* param) {
    const std::unique_ptr<std::shared_ptr<Job>> job(static_cast<std::shared_ptr<Job>*>(param));
    Win32WinHttp http;
    Win32Clock clock;
    const ManagedSettings managed = ReadManaged();
    const PageChoice page = ConfiguredPage(managed);
    (*job)->url = page.url;
    (*job)->refusal = page.refusal;
    (*job)->sync = SynchronizeOnce(http, clock, page, managed.MaxStepSeconds());
    // The clock's refusal is the last thing the system said.
    (*job)->error = (*job)->sync.answer.outcome == ServiceOutcome::CannotSet ? GetLastError() : 0;
    if ((*job)->sync.estimate) {
        OutputDebugStringW(Widen(EstimateReport("ZelmoraClock", *(*job)->sync.estimate)).c_str());
    }
    SetEvent((*job)->done.get());
    return 0;
}

std::shared_ptr<Job> StartJob(const ServiceClient& asker) {
    auto job = std::make_shared<Job>();
    job->asker = asker;
    auto share = std::make_unique<std::shared_ptr<Job>>(job);
    if (!job->done) {
        return nullptr;
    }
    const unique_kernel_handle thread(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, JobThread, share.get(), 0, nullptr)));
    if (!thread) {
        return nullptr;
    }
    static_cast<void>(share.release());  // JobThread owns it from here on
    return job;
}

enum class Stage { Retry, Connecting, Reading, Waiting, Writing, Draining };

// One pipe instance and the client it serves. Every stage but Waiting has one overlapped
// call pending on the instance's event, and every stage but Connecting has a deadline.
struct Instance {
    unique_file_handle pipe;
    unique_kernel_handle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED overlapped{};
    Stage stage = Stage::Retry;
    bool pending = false;  // an overlapped call has not been completed yet
    ULONGLONG deadline = 0;
    // One byte more than a request, so that a longer one shows as such.
    std::array<uint8_t, kServiceRequestSize + 1> request{};
    ServiceAnswerBytes answer{};
    ServiceClient client;  // who sent the request
};

class PipeServer {
public:
    bool Create();
    // True when stopped, false when waiting failed.
    bool Run(HANDLE stopEvent);

private:
    void Connect(Instance& instance);
    void Read(Instance& instance, DWORD size, Stage stage);
    void Write(Instance& instance, const ServiceAnswer& answer);
    void Started(Instance& instance, bool done);
    void Reset(Instance& instance);
    void Completed(Instance& instance);
    void Expired(Instance& instance);
    void Request(Instance& instance);
    void JobDone();

    std::array<Instance, kClockServicePipeInstances> instances_;
    SynchronizeRateLimit limit_;
    std::shared_ptr<Job> job_;
    EventRecorder events_;
    ULONGLONG unidentifiedRecordedAt_ = 0;  // the last record of an unidentified client
};

bool PipeServer::Create() {
    unique_hlocal descriptor;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kClockServicePipeSddl,
                                                              SDDL_REVISION_1, &raw, nullptr)) {
        return false;
    }
    descriptor.reset(raw);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    bool first = true;
    for (Instance& instance : instances_) {
        // The first instance fails if another process already serves the name.
        instance.pipe.reset(CreateNamedPipeW(
            kClockServicePipe,
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
            kClockServicePipeInstances, kServiceAnswerSize, kServiceRequestSize, 0, &attributes));
        if (!instance.pipe || !instance.event) {
            return false;
        }
        instance.overlapped.hEvent = instance.event.get();
        first = false;
    }
    return true;
}

void PipeServer::Connect(Instance& instance) {
    instance.stage = Stage::Connecting;
    instance.deadline = 0;
    if (ConnectNamedPipe(instance.pipe.get(), &instance.overlapped)) {
        return;  // the event is set
    }
    switch (GetLastError()) {
        case ERROR_IO_PENDING:
            return;
        case ERROR_PIPE_CONNECTED:
            SetEvent(instance.event.get());
            return;
        default:
            // Usually a client that came and went: try again in a moment.
            DisconnectNamedPipe(instance.pipe.get());
            ResetEvent(instance.event.get());
            instance.stage = Stage::Retry;
            instance.deadline = GetTickCount64() + 100;
    }
}

void PipeServer::Read(Instance& instance, DWORD size, Stage stage) {
    instance.stage = stage;
    instance.deadline = GetTickCount64() + kClockServiceRequestMs;
    Started(instance, ReadFile(instance.pipe.get(), instance.request.data(), size, nullptr,
                               &instance.overlapped) != FALSE);
}

void PipeServer::Write(Instance& instance, const ServiceAnswer& answer) {
    instance.answer = EncodeServiceAnswer(answer);
    instance.stage = Stage::Writing;
    instance.deadline = GetTickCount64() + kClockServiceRequestMs;
    Started(instance, WriteFile(instance.pipe.get(), instance.answer.data(), kServiceAnswerSize,
                                nullptr, &instance.overlapped) != FALSE);
}

// A call that failed at once has nothing pending (a longer message than asked for included).
void PipeServer::Started(Instance& instance, bool done) {
    instance.pending = done || GetLastError() == ERROR_IO_PENDING;
    if (!instance.pending) {
        Reset(instance);
    }
}

void PipeServer::Reset(Instance& instance) {
    if (instance.pending) {
        CancelIoEx(instance.pipe.get(), &instance.overlapped);
        DWORD moved = 0;
        GetOverlappedResult(instance.pipe.get(), &instance.overlapped, &moved, TRUE);
        instance.pending = false;
    }
    DisconnectNamedPipe(instance.pipe.get());
    Connect(instance);
}

void PipeServer::Completed(Instance& instance) {
    DWORD moved = 0;
    const bool ok = GetOverlappedResult(instance.pipe.get(), &instance.overlapped, &moved, FALSE);
    instance.pending = false;
    switch (instance.stage) {
        case Stage::Connecting:
            Read(instance, static_cast<DWORD>(instance.request.size()), Stage::Reading);
            return;
        case Stage::Reading:
            if (ok && IsSynchronizeRequest(std::span(instance.request.data(), moved))) {
                Request(instance);
            } else {
                Reset(instance);
            }
            return;
        case Stage::Writing:
            // Disconnecting now would discard the answer: wait for the client to close.
            if (ok) {
                Read(instance, 1, Stage::Draining);
            } else {
                Reset(instance);
            }
            return;
        case Stage::Draining:
        case Stage::Waiting:
        case Stage::Retry:
            Reset(instance);
            return;
    }
}

void PipeServer::Expired(Instance& instance) {
    if (instance.stage == Stage::Waiting) {
        const ServiceSync busy{{ServiceOutcome::Busy}, {}, {}, {}, {}};
        events_.Record(DescribeSync(busy, job_ ? job_->url : RecordedPage(), instance.client, {}));
        Write(instance, busy.answer);
    } else {
        Reset(instance);
    }
}

void PipeServer::Request(Instance& instance) {
    ResetEvent(instance.event.get());
    instance.client = PipeClient(instance.pipe.get());
    if (instance.client.user.empty()) {
        // Who cannot be named gets nothing done; its records are bounded as a fetch's are.
        const ULONGLONG now = GetTickCount64();
        if (unidentifiedRecordedAt_ == 0 ||
            now - unidentifiedRecordedAt_ >= kServiceFetchIntervalMs) {
            unidentifiedRecordedAt_ = now;
            events_.Record(DescribeUnidentified(RecordedPage(), instance.client));
        }
        Write(instance, {ServiceOutcome::CannotSet});
        return;
    }
    switch (limit_.OnRequest(GetTickCount64())) {
        case SynchronizeRateLimit::Decision::Last:
            Write(instance, limit_.Last());
            return;
        case SynchronizeRateLimit::Decision::Start:
            job_ = StartJob(instance.client);
            if (!job_) {
                const ServiceSync failed{{ServiceOutcome::CannotSet}, {}, {}, {}, {}};
                const std::string why = SystemReason(GetLastError());
                events_.Record(DescribeSync(failed, RecordedPage(), instance.client, why));
                limit_.Finished(failed.answer);
                Write(instance, limit_.Last());
                return;
            }
            break;
        case SynchronizeRateLimit::Decision::JoinRunning:
            events_.Record(DescribeJoined(job_ ? job_->url : RecordedPage(), instance.client,
                                          job_ ? job_->asker : ServiceClient{}));
            break;
    }
    instance.stage = Stage::Waiting;
    instance.deadline = GetTickCount64() + kClockServiceAnswerMs;
}

void PipeServer::JobDone() {
    events_.Record(DescribeSync(job_->sync, job_->url, job_->asker,
                                job_->error ? SystemReason(job_->error) : job_->refusal));
    limit_.Finished(job_->sync.answer);
    job_.reset();
    for (Instance& instance : instances_) {
        if (instance.stage == Stage::Waiting) {
            Write(instance, limit_.Last());
        }
    }
}

bool PipeServer::Run(HANDLE stopEvent) {
    for (Instance& instance : instances_) {
        Connect(instance);
    }
    for (;;) {
        std::vector<HANDLE> handles{stopEvent};
        std::vector<Instance*> waited;
        if (job_) {
            handles.push_back(job_->done.get());
        }
        const std::size_t firstInstance = handles.size();
        ULONGLONG next = ~ULONGLONG{0};
        for (Instance& instance : instances_) {
            if (instance.stage != Stage::Waiting && instance.stage != Stage::Retry) {
                handles.push_back(instance.event.get());
                waited.push_back(&instance);
            }
            if (instance.deadline != 0) {
                next = std::min(next, instance.deadline);
            }
        }
        if (job_) {
            next = std::min(next, job_->deadline);
        }
        const ULONGLONG now = GetTickCount64();
        const DWORD timeout = next == ~ULONGLONG{0} ? INFINITE
                              : next > now          ? static_cast<DWORD>(next - now)
                                                    : 0;
        const DWORD signalled = WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                       handles.data(), FALSE, timeout);
        if (signalled == WAIT_OBJECT_0) {
            return true;
        }
        if (job_ && signalled == WAIT_OBJECT_0 + 1) {
            JobDone();
        } else if (signalled >= WAIT_OBJECT_0 + firstInstance &&
                   signalled < WAIT_OBJECT_0 + handles.size()) {
            Completed(*waited[signalled - WAIT_OBJECT_0 - firstInstance]);
        } else if (signalled == WAIT_FAILED) {
            return false;
        }
        const ULONGLONG after = GetTickCount64();
        if (job_ && job_->deadline <= after) {
            // Its waiters have had "busy" by now; the next request may start a fetch again.
            limit_.Finished({ServiceOutcome::Busy});
            job_.reset();
        }
        for (Instance& instance : instances_) {
            if (instance.deadline != 0 && instance.deadline <= after) {
                instance.stage == Stage::Retry ? Connect(instance) : Expired(instance);
            }
        }
    }
}

}  // namespace

bool ServeClockPipe(void* stopEvent, void (*ready)()) {
    PipeServer server;
    // The last run's process may still hold the name for a moment after an upgrade's restart.
    for (int attempt = 0; !server.Create(); ++attempt) {
        if (attempt == 20 || WaitForSingleObject(stopEvent, 250) == WAIT_OBJECT_0) {
            return false;
        }
    }
    ready();
    return server.Run(static_cast<HANDLE>(stopEvent));
}
