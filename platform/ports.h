#pragma once

// The ports: every interface through which the program's behaviour (timeservice/, app/,
// ui/) reaches the operating system. win32/ implements them for Windows, tests/fakes/ for
// the unit tests.
//
// How failures travel. A port never throws. A call that can fail says so in its result:
// false, an empty optional, or no key; the behaviour code decides what follows (skip that
// step, or show "Cannot get time from server!..."). Where an empty text is an answer of
// its own (a page that could not be fetched, an unknown program folder or product name),
// a failure gives the empty text and the behaviour treats it like any other text. Calls
// whose failure would change nothing the program does (showing the window, the tray, the
// shell) return nothing. The registry passes the system's status on as a number, because
// SetRegValueOfType hands that status to its caller. Nothing in the program catches
// exceptions: the only ones left come from the C++ library running out of memory, and they
// end the program.

#include "platform/clock_service.h"
#include "platform/http.h"
#include "platform/main_window.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/settings_store.h"
#include "platform/shell.h"
#include "platform/system_clock.h"
#include "platform/tray.h"
