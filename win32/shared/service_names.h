#pragma once

// The clock service's names, shared by the service, the program and the tests' tools. Free
// of <windows.h>, so that such tools can include it.

inline constexpr wchar_t kClockServiceName[] = L"ZelmoraClock";
inline constexpr wchar_t kClockServicePipe[] = L"\\\\.\\pipe\\ZelmoraClock";
// Denies network logons first; SYSTEM and LOCAL SERVICE (the service's account) may do
// anything; interactive users may read and write, but not make pipe instances of their own
// (0x12019b: generic file read and write without FILE_CREATE_PIPE_INSTANCE).
inline constexpr wchar_t kClockServicePipeSddl[] =
    L"D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;LS)(A;;0x12019b;;;IU)";
// Pipe instances the service serves at once.
inline constexpr unsigned kClockServicePipeInstances = 8;
// The program waits this long for a free instance, then as long as the service may take to
// answer, and a little more.
inline constexpr unsigned kClockServiceConnectMs = 5000;
inline constexpr unsigned kClockServiceAnswerMs = 40000;
inline constexpr unsigned kClockServiceClientMarginMs = 2000;
// A client has this long to send its request, and to go once it has its answer.
inline constexpr unsigned kClockServiceRequestMs = 2000;
