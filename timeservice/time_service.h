#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock_service.h"
#include "platform/http.h"
#include "platform/main_window.h"
#include "platform/managed_settings.h"
#include "platform/runtime.h"
#include "platform/system_clock.h"
#include "timeservice/time_page.h"

struct ClockEstimate;

inline constexpr std::string_view kGettingTime = "Getting Time...";
inline constexpr std::string_view kTimeOk = "Local time is ok";
inline constexpr std::string_view kInaccuratePrefix = "Local time inaccurate - difference is ";
inline constexpr std::string_view kInaccurateSuffix = " seconds!";
inline constexpr std::string_view kUpdatedPrefix = "Time updated succesfully! (";
inline constexpr std::string_view kUpdatedSuffix = ")";
inline constexpr std::string_view kCannotGetTime =
    "Cannot get time from server! (internet running?)";
inline constexpr std::string_view kCannotSetTime =
    "Cannot set the system time! (administrator rights needed?)";
// The machine's policy bounds how far the clock may be stepped.
inline constexpr std::string_view kStepTooFar =
    "Time not set: the difference is more than allowed!";

// The one constant page the program ever fetches; fixed when the program is built.
const std::string& TimePageUrl();

// The main window's controls that the time service uses.
class TimeControls {
public:
    // lblInfo, the status line.
    virtual void SetStatus(std::string_view text) = 0;
    // lblTime, the clock label.
    virtual void SetClock(std::string_view text) = 0;
    // chkAuto's check state.
    virtual CheckBoxState AutoState() = 0;
    // txtInterval's text; reuses text's storage, so repeated reads need not allocate.
    virtual void IntervalText(std::string& text) = 0;

protected:
    ~TimeControls() = default;
};

// The program's work on time: fetching the page, checking or setting the clock, and the
// clock tick that drives automatic synchronisation. Owns the time of the last set.
class TimeService {
public:
    TimeService(Http& http, Clock& clock, ClockService& clockService, Runtime& runtime,
                TimeControls& controls, const ManagedSettings& managed)
        : http_(http),
          clock_(clock),
          clockService_(clockService),
          runtime_(runtime),
          controls_(controls),
          managed_(managed) {}

    // Fetches the page's UTC time of day, then reports how far the clock is off (checkOnly)
    // or, when it is off by more than the page can tell, sets it to the page's time. Writes
    // progress and outcome into the status line. Returns false when the time could not be
    // fetched or the clock could not be set. A set that the OS refuses for lack of the right
    // is asked of the clock service instead.
    bool SynchronizeTime(bool checkOnly, bool reportDifference);

    // One tick of the main window's clock timer: refresh the clock label, then
    // AutoSynchronize.
    void TimerTimeTick();
    // Sets the clock when automatic synchronisation is on and the interval has passed since
    // the last set.
    void AutoSynchronize();
    // Sets the clock as automatic synchronisation does; after a failure the tick waits a
    // minute before it tries again.
    void SynchronizeAutomatically();

    // After the PC woke, with automatic synchronisation on: a due synchronisation that fails
    // is tried again within seconds, backing off to the usual pause.
    void OnResume();

    // Local seconds since midnight at the last clock set; 0 until the first.
    float LastSyncTime() const { return LastSyncTime_; }

private:
    bool Check(const SystemTime& now, PageTime page, bool reportDifference);
    bool Set(const ClockEstimate& estimate);
    bool SetThroughService();
    bool Updated();

    Http& http_;
    Clock& clock_;
    ClockService& clockService_;
    Runtime& runtime_;
    TimeControls& controls_;
    const ManagedSettings& managed_;

    float LastSyncTime_ = 0.0f;
    // After a failed automatic attempt, the monotonic time before which the tick does not
    // try again, so a server in trouble is not asked 20 times a second.
    std::optional<uint64_t> autoRetryNotBefore_;
    std::optional<uint64_t> lastAutoAttempt_;
    // Since a resume: the pause after the next failed automatic attempt.
    std::optional<uint64_t> resumeRetryMs_;
    // Working storage of the tick, kept so that a tick need not allocate.
    std::string tickIntervalText_;
    TimeText shownClockText_;
};
