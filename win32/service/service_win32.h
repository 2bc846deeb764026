#pragma once

#include <string>

#include "platform/http.h"

// The clock service's download: WinHTTP, which services may use, with the program's bounds.
// Synchronous; the service's server bounds how long it waits for it.
class Win32WinHttp final : public Http {
public:
    std::string DownloadUrlText(const std::string& url) override;
};

// Serves the clock service's pipe until stopEvent is set, calling ready once it exists.
// False when the pipe could not be made (another process holds its name, or the system
// refused) or waiting on it failed; true when stopEvent ended it.
bool ServeClockPipe(void* stopEvent, void (*ready)());
