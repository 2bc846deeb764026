#pragma once

// The clock service's names, shared by the service, the program and the tests' tools. Free
// of <windows.h>, so that such tools can include it.

inline constexpr wchar_t kClockServiceName[] = L"ZelmoraClock";
// Its settings, which only administrators may write: AutomaticProxy (a DWORD, 1) lets it
// detect a proxy on the network when the machine names none.
inline constexpr wchar_t kClockServiceParameters[] =
    L"SYSTEM\\CurrentControlSet\\Services\\ZelmoraClock\\Parameters";
inline constexpr wchar_t kAutomaticProxyValue[] = L"AutomaticProxy";
inline constexpr wchar_t kClockServicePipe[] = L"\\\\.\\pipe\\ZelmoraClock";
// Owned by the service's own SID (NT SERVICE\ZelmoraClock: S-1-5-80- and the SHA-1 of the
// upper-case name in UTF-16, as five little-endian numbers; written out, as a system without
// that service cannot resolve the name), not by LOCAL SERVICE, whose other processes could
// then rewrite the list. Denies network logons first; SYSTEM and the service may do
// anything; interactive users may read and write, but not make pipe instances of their own
// (0x12019b: generic file read and write without FILE_CREATE_PIPE_INSTANCE). No other
// LOCAL SERVICE process is let in.
inline constexpr wchar_t kClockServicePipeSddl[] =
    L"O:S-1-5-80-3685289750-2708365769-3374620366-1393223451-2422757800"
    L"D:P(D;;GA;;;NU)(A;;GA;;;SY)"
    L"(A;;GA;;;S-1-5-80-3685289750-2708365769-3374620366-1393223451-2422757800)"
    L"(A;;0x12019b;;;IU)";
// Pipe instances the service serves at once.
inline constexpr unsigned kClockServicePipeInstances = 8;
// The program waits this long for a free instance, then as long as the service may take to
// answer, and a little more.
inline constexpr unsigned kClockServiceConnectMs = 5000;
inline constexpr unsigned kClockServiceAnswerMs = 40000;
inline constexpr unsigned kClockServiceClientMarginMs = 2000;
// A client has this long to send its request, and to go once it has its answer.
inline constexpr unsigned kClockServiceRequestMs = 2000;
