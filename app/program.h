#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/http.h"
#include "platform/main_window.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/settings_store.h"
#include "platform/shell.h"
#include "platform/system_clock.h"
#include "platform/tray.h"

// The program's shared state and the platform it runs on. There is no settings object:
// the main window's controls are the live settings.
struct Program {
    Program(MainWindow& window, Runtime& rt, Clock& clk, Http& web, Shell& sh, SettingsStore& store,
            Registry& reg, Tray& tr)
        : frmMain(window),
          runtime(rt),
          clock(clk),
          http(web),
          shell(sh),
          settings(store),
          registry(reg),
          tray(tr) {}

    MainWindow& frmMain;
    Runtime& runtime;
    Clock& clock;
    Http& http;
    Shell& shell;
    SettingsStore& settings;
    Registry& registry;
    Tray& tray;

    // Folder of the executable, ending in exactly one backslash.
    std::string AppPath;
    // Local seconds since midnight at the last clock set; 0 until the first.
    float LastSyncTime = 0.0f;
    // After a failed automatic attempt, the monotonic time before which the tick does not
    // try again, so a server in trouble is not asked 20 times a second.
    std::optional<uint64_t> AutoRetryNotBefore;

    // Working storage of the tick, kept so that a tick need not allocate.
    std::string tickIntervalText;
    TimeText shownClockText;
};
