#include "win32/win32_platform.h"

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
        const int n = GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, text.chars.data(),
                                     static_cast<int>(text.chars.size()));
        text.size = n > 0 ? static_cast<std::size_t>(n - 1) : 0;
    }
    localTimeSecond_ = second;
    localTimeText_ = text;
    return text;
}

std::string Win32Clock::LocalTimeAmPm() {
    char separator[8] = ":";
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, separator, sizeof separator);
    // The separator is quoted so that no character of it is read as a format code.
    const std::string sep = std::string("'") + separator + "'";
    const std::string picture = "h" + sep + "mm" + sep + "ss tt";
    char text[80] = "";
    GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, picture.c_str(), text, sizeof text);
    return text;
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
