#pragma once

#include <string_view>

struct Program;

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

// The one constant page the program ever fetches; fixed when the program is built.
const std::string& TimePageUrl();

// Fetches the page's UTC time of day, then reports how far the clock is off (checkOnly) or
// sets the clock to it. Writes progress and outcome into the status line. Returns false
// when the time could not be fetched or the clock could not be set.
bool SynchronizeTime(Program& p, bool checkOnly, bool reportDifference);
