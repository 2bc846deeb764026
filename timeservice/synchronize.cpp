#include "timeservice/synchronize.h"

#include <cstdlib>
#include <exception>
#include <string>

#include "app/program.h"
#include "timeservice/time_page.h"

#ifndef ZELMORA_TIME_URL
#error "ZELMORA_TIME_URL must be defined by the build"
#endif

namespace {

void SetStatus(Program& p, std::string_view text) {
    p.frmMain.SetText(ControlId::lblInfo, text);
}

bool Check(Program& p, const SystemTime& now, PageTime page, bool reportDifference) {
    const int32_t n = std::abs(CheckDifference(now, page));
    if (n <= 1) {
        SetStatus(p, kTimeOk);
        return true;
    }
    if (reportDifference) {
        SetStatus(
            p, std::string(kInaccuratePrefix) + std::to_string(n) + std::string(kInaccurateSuffix));
        return true;
    }
    // Confirm with a fresh download before reporting: the first may have been slow.
    p.runtime.YieldToPendingMessages();
    p.clock.Sleep(500);
    return SynchronizeTime(p, true, true);
}

bool Set(Program& p, const SystemTime& now, PageTime page) {
    if (!p.clock.SetSystemTime(SetTarget(now, page))) {
        SetStatus(p, kCannotSetTime);
        return false;
    }
    SetStatus(p,
              std::string(kUpdatedPrefix) + p.clock.LocalTimeAmPm() + std::string(kUpdatedSuffix));
    p.LastSyncTime = p.clock.SecondsSinceMidnight();
    p.AutoRetryNotBefore.reset();
    return true;
}

}  // namespace

const std::string& TimePageUrl() {
    static const std::string url = ZELMORA_TIME_URL;
    return url;
}

bool SynchronizeTime(Program& p, bool checkOnly, bool reportDifference) {
    try {
        SetStatus(p, kGettingTime);
        p.runtime.YieldToPendingMessages();

        const std::string text = p.http.DownloadUrlText(TimePageUrl());
        const auto page = ParseTimePage(text);
        if (!page) {
            SetStatus(p, kCannotGetTime);
            return false;
        }
        const SystemTime now = p.clock.GetSystemTime();
        return checkOnly ? Check(p, now, *page, reportDifference) : Set(p, now, *page);
    } catch (const std::exception&) {
        SetStatus(p, kCannotGetTime);
        return false;
    }
}
