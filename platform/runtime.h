#pragma once

#include <string>
#include <string_view>

// Services of the process and its message loop.
class Runtime {
public:
    // Claims the single-instance token; true when another instance already holds it.
    virtual bool AnotherInstanceRunning() = 0;
    // Gives the token back, so that the next start can run.
    virtual void ReleaseSingleInstance() = 0;
    // A message box with the program's title, owned by no window.
    virtual void ShowError(std::string_view text) = 0;
    // Folder of the running executable, with or without a trailing backslash.
    virtual std::string ProgramFolder() = 0;
    // Dispatches every message already queued for this thread, then returns.
    virtual void YieldToPendingMessages() = 0;
    // Ends the process at once; nothing of the window runs afterwards.
    virtual void EndProcess() = 0;
    // The user's decimal separator; valid as long as the runtime.
    virtual std::string_view DecimalSeparator() = 0;
    // Product name from the executable's version record.
    virtual std::string ProductName() = 0;
    // A line for a debugger or a log watcher; users never see it.
    virtual void DebugReport(std::string_view text) = 0;

protected:
    ~Runtime() = default;
};
