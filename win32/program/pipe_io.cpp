#include "win32/program/pipe_io.h"

#include "win32/shared/handles.h"

namespace {

template <typename Start>
int64_t Transfer(HANDLE pipe, ULONGLONG deadline, Start start) {
    const unique_kernel_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        return -1;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    if (!start(&overlapped) && GetLastError() != ERROR_IO_PENDING) {
        return -1;
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (WaitForSingleObject(event.get(), wait) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
    }
    // Waits for the cancellation too: the OVERLAPPED must outlive the call.
    DWORD moved = 0;
    if (!GetOverlappedResult(pipe, &overlapped, &moved, TRUE)) {
        return -1;
    }
    return moved;
}

}  // namespace

int64_t ReadPipe(HANDLE pipe, void* buffer, DWORD size, ULONGLONG deadline) {
    return Transfer(pipe, deadline, [&](OVERLAPPED* overlapped) {
        return ReadFile(pipe, buffer, size, nullptr, overlapped) != FALSE;
    });
}

int64_t WritePipe(HANDLE pipe, const void* buffer, DWORD size, ULONGLONG deadline) {
    return Transfer(pipe, deadline, [&](OVERLAPPED* overlapped) {
        return WriteFile(pipe, buffer, size, nullptr, overlapped) != FALSE;
    });
}
