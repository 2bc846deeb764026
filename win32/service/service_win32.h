#pragma once

#include <string>

#include "platform/http.h"
#include "timeservice/service_synchronizer.h"
#include "win32/shared/handles.h"

// The clock service's download: WinHTTP, which services may use, with the program's bounds.
// Synchronous; the service's server bounds how long it waits for it.
class Win32WinHttp final : public Http {
public:
    PageDownload DownloadUrlText(const std::string& url) override;
};

// Who is connected to a pipe instance of the service's.
ServiceClient PipeClient(void* pipe);
// The system's words for an error, and its number.
std::string SystemReason(unsigned long error);

// Writes the service's records to the Application log under its own source.
class EventRecorder {
public:
    EventRecorder();
    void Record(const ServiceEvent& event);

private:
    unique_event_source source_;
};

// Serves the clock service's pipe until stopEvent is set, calling ready once it exists.
// False when the pipe could not be made (another process holds its name, or the system
// refused) or waiting on it failed; true when stopEvent ended it.
bool ServeClockPipe(void* stopEvent, void (*ready)());
