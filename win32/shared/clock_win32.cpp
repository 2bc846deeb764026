#include "win32/shared/clock_win32.h"

#include <algorithm>

#include "win32/shared/system_dll.h"
#include "win32/shared/wide.h"

namespace {

constexpr uint64_t kFileTimeTicksPerSecond = 10'000'000;

SystemTime FromWin32(const SYSTEMTIME& st) {
    return {st.wYear, st.wMonth,  st.wDayOfWeek, st.wDay,
            st.wHour, st.wMinute, st.wSecond,    st.wMilliseconds};
}

SYSTEMTIME ToWin32(const SystemTime& t) {
    SYSTEMTIME st{};
    st.wYear = t.wYear;
    st.wMonth = t.wMonth;
    st.wDayOfWeek = t.wDayOfWeek;
    st.wDay = t.wDay;
    st.wHour = t.wHour;
    st.wMinute = t.wMinute;
    st.wSecond = t.wSecond;
    st.wMilliseconds = t.wMilliseconds;
    return st;
}

}  // namespace

SystemTime Win32Clock::GetSystemTime() {
    SYSTEMTIME st{};
    ::GetSystemTime(&st);
    return FromWin32(st);
}

SetClockResult Win32Clock::SetSystemTime(const SystemTime& utc) {
    const SYSTEMTIME st = ToWin32(utc);
    if (::SetSystemTime(&st)) {
        return SetClockResult::Done;
    }
    return GetLastError() == ERROR_PRIVILEGE_NOT_HELD ? SetClockResult::NoPrivilege
                                                      : SetClockResult::Failed;
}

void Win32Clock::Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

TimeText Win32Clock::LocalTimeText() {
    // The text changes once a second, and formatting it costs more than the rest of a tick,
    // which asks 20 times a second: it is made again only when the second has changed.
    FILETIME utc{};
    GetSystemTimeAsFileTime(&utc);
    const uint64_t second =
        ((uint64_t{utc.dwHighDateTime} << 32) | utc.dwLowDateTime) / kFileTimeTicksPerSecond;
    if (second == localTimeSecond_ && localTimeText_.size != 0) {
        return localTimeText_;
    }
    FILETIME local{};
    SYSTEMTIME st{};
    TimeText text;
    if (FileTimeToLocalFileTime(&utc, &local) && FileTimeToSystemTime(&local, &st)) {
        wchar_t wide[80];
        const int n = GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, wide, 80);
        if (n > 0) {
            Utf16ToUtf8(std::wstring_view(wide, static_cast<std::size_t>(n - 1)), utf8Scratch_);
            text.size = std::min(utf8Scratch_.size(), text.chars.size());
            std::copy_n(utf8Scratch_.begin(), text.size, text.chars.begin());
        }
    }
    localTimeSecond_ = second;
    localTimeText_ = text;
    return text;
}

std::string Win32Clock::LocalTimeAmPm() {
    wchar_t separator[8] = L":";
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STIME, separator, 8);
    // The separator is quoted so that no character of it is read as a format code.
    const std::wstring sep = std::wstring(L"'") + separator + L"'";
    const std::wstring picture = L"h" + sep + L"mm" + sep + L"ss tt";
    wchar_t text[80] = L"";
    GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, picture.c_str(), text, 80);
    return Narrow(text);
}

float Win32Clock::SecondsSinceMidnight() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return static_cast<float>(st.wHour * 3600 + st.wMinute * 60 + st.wSecond) +
           static_cast<float>(st.wMilliseconds) / 1000.0f;
}

uint64_t Win32Clock::MonotonicMilliseconds() {
    return GetTickCount64();
}

int64_t MonotonicTicks() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    // In two parts, so that a counter running for years cannot overflow the product.
    return count.QuadPart / frequency * kTicksPerSecond +
           count.QuadPart % frequency * kTicksPerSecond / frequency;
}

// Windows 8 and later tell the time to the counter's precision; Windows 7 only to its tick
// (about 16 ms).
ClockReading Win32Clock::ReadClocks() {
    using PreciseTime = void(WINAPI*)(LPFILETIME);
    static const PreciseTime precise = [] {
        PreciseTime function = nullptr;
        Resolve(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime", function);
        return function;
    }();
    FILETIME utc{};
    const int64_t before = MonotonicTicks();
    (precise ? precise : GetSystemTimeAsFileTime)(&utc);
    const int64_t after = MonotonicTicks();
    return {static_cast<int64_t>((uint64_t{utc.dwHighDateTime} << 32) | utc.dwLowDateTime),
            before + (after - before) / 2};
}
