#pragma once

#include <windows.h>

#include <cstdint>

// One overlapped read or write on a pipe, waited for at most until deadline (a
// GetTickCount64 time). The number of bytes moved, or -1 when the call failed, the pipe
// broke or the deadline passed (the call is then cancelled and has ended on return).
// ERROR_MORE_DATA counts as a failure: a message longer than the buffer is never taken.
int64_t ReadPipe(HANDLE pipe, void* buffer, DWORD size, ULONGLONG deadline);
int64_t WritePipe(HANDLE pipe, const void* buffer, DWORD size, ULONGLONG deadline);
