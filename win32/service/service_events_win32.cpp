#include <windows.h>
#include <sddl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "service_events.h"
#include "win32/service/service_win32.h"
#include "win32/shared/handles.h"
#include "win32/shared/service_names.h"
#include "win32/shared/wide.h"

// The message table's numbers are the ones the records are described with.
static_assert((MSG_CLOCK_SET & 0xFFFF) == kEventClockSet &&
              (MSG_REFUSED & 0xFFFF) == kEventRefused && (MSG_NOT_SET & 0xFFFF) == kEventNotSet &&
              (MSG_WITHIN_BOUND & 0xFFFF) == kEventWithinBound &&
              (MSG_JOINED & 0xFFFF) == kEventJoined);

namespace {

// Empty unless the client allows identification at least: an anonymous client (whose token
// cannot be opened) or a failed impersonation names no one.
std::string UserSid(HANDLE pipe) {
    // Identification is all a client allows: enough to read its token, never to act as it.
    if (!ImpersonateNamedPipeClient(pipe)) {
        return {};
    }
    HANDLE raw = nullptr;
    const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &raw) != FALSE;
    if (!RevertToSelf()) {
        std::abort();  // never go on as the client; recovery restarts the service
    }
    const unique_kernel_handle token(opened ? raw : nullptr);
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    DWORD size = 0;
    std::vector<BYTE> user(256);
    unique_hlocal text;
    if (!token ||
        !GetTokenInformation(token.get(), TokenImpersonationLevel, &level, sizeof level, &size) ||
        level < SecurityIdentification ||
        !GetTokenInformation(token.get(), TokenUser, user.data(), static_cast<DWORD>(user.size()),
                             &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid,
                                reinterpret_cast<LPWSTR*>(text.put()))) {
        return {};
    }
    return Narrow(static_cast<const wchar_t*>(text.get()));
}

DWORD MessageId(uint16_t number) {
    DWORD id = MSG_REFUSED;
    switch (number) {
        case kEventClockSet:
            id = MSG_CLOCK_SET;
            break;
        case kEventNotSet:
            id = MSG_NOT_SET;
            break;
        case kEventWithinBound:
            id = MSG_WITHIN_BOUND;
            break;
        case kEventJoined:
            id = MSG_JOINED;
            break;
        default:
            break;
    }
    return id;
}

}  // namespace

ServiceClient PipeClient(void* pipe) {
    ServiceClient client;
    ULONG value = 0;
    if (GetNamedPipeClientProcessId(pipe, &value)) {
        client.process = value;
    }
    if (GetNamedPipeClientSessionId(pipe, &value)) {
        client.session = value;
    }
    client.user = UserSid(pipe);
    return client;
}

std::string SystemReason(unsigned long error) {
    unique_hlocal text;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPWSTR>(text.put()), 0, nullptr);
    std::wstring reason(length ? static_cast<const wchar_t*>(text.get()) : L"", length);
    while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r')) {
        reason.pop_back();
    }
    return Narrow(reason) + (reason.empty() ? "" : " ") + "(error " + std::to_string(error) + ")";
}

// The source is registered under the service's own log, which only it and SYSTEM may write.
EventRecorder::EventRecorder() : source_(RegisterEventSourceW(nullptr, kClockServiceName)) {}

void EventRecorder::Record(const ServiceEvent& event) {
    if (!source_) {
        return;
    }
    std::vector<std::wstring> inserts;
    for (const std::string& insert : event.inserts) {
        inserts.push_back(Widen(insert));
    }
    std::vector<LPCWSTR> strings;
    for (const std::wstring& insert : inserts) {
        strings.push_back(insert.c_str());
    }
    WORD type = EVENTLOG_WARNING_TYPE;
    if (event.kind == EventKind::Information) {
        type = EVENTLOG_INFORMATION_TYPE;
    } else if (event.kind == EventKind::Error) {
        type = EVENTLOG_ERROR_TYPE;
    }
    ReportEventW(source_.get(), type, 0, MessageId(event.number), nullptr,
                 static_cast<WORD>(strings.size()), 0, strings.data(), nullptr);
}
