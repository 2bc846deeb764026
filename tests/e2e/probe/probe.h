// zprobe's shared pieces: the JSON writer, the window helpers and every command.

#pragma once

#include <windows.h>
#include <sddl.h>

#include <concepts>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "win32/shared/handles.h"
#include "win32/shared/wide.h"

namespace zprobe {

// The product's handle owners, files included.
using unique_file = unique_file_handle;

constexpr wchar_t kMainClass[] = L"ZelmoraMainWindow";
constexpr wchar_t kFontQueryMessage[] = L"zprobe.FontQuery";
constexpr UINT kMessageTimeoutMs = 2000;
constexpr int kMaxControls = 64;

// ---------------------------------------------------------------------------------------
// A minimal JSON writer: enough for objects, arrays, strings, numbers and booleans.

inline std::string Utf8(const std::wstring& text) {
    return Narrow(text);
}

// A security descriptor's access list as SDDL text; nothing when it cannot be converted.
inline std::optional<std::wstring> DaclText(PSECURITY_DESCRIPTOR descriptor) {
    unique_hlocal text;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
            reinterpret_cast<LPWSTR*>(text.put()), nullptr)) {
        return std::nullopt;
    }
    return std::wstring(static_cast<const wchar_t*>(text.get()));
}

class Json {
public:
    Json& BeginObject() { return Open('{'); }
    Json& EndObject() { return Close('}'); }
    Json& BeginArray() { return Open('['); }
    Json& EndArray() { return Close(']'); }

    Json& Key(const char* key) {
        Separator();
        Quoted(key);
        out_ += ':';
        afterKey_ = true;
        return *this;
    }

    Json& String(const std::string& s) {
        Value();
        Quoted(s);
        return *this;
    }
    Json& String(const std::wstring& s) { return String(Utf8(s)); }
    Json& Number(long long n) { return Raw(std::to_string(n)); }
    Json& Bool(bool b) { return Raw(b ? "true" : "false"); }
    Json& Null() { return Raw("null"); }
    Json& Handle(const void* h) {
        return Number(static_cast<long long>(reinterpret_cast<INT_PTR>(h)));
    }

    Json& Rect(const RECT& r) {
        BeginArray();
        Number(r.left).Number(r.top).Number(r.right - r.left).Number(r.bottom - r.top);
        return EndArray();
    }

    Json& Field(const char* key, const std::string& value) { return Key(key).String(value); }
    Json& Field(const char* key, const std::wstring& value) { return Key(key).String(value); }
    Json& Field(const char* key, bool value) { return Key(key).Bool(value); }
    template <std::integral T>
    Json& Field(const char* key, T value) {
        return Key(key).Number(static_cast<long long>(value));
    }
    Json& Field(const char* key, const RECT& value) { return Key(key).Rect(value); }
    Json& Field(const char* key, std::optional<long long> value) {
        Key(key);
        return value ? Number(*value) : Null();
    }

    void Print() const {
        std::fwrite(out_.data(), 1, out_.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

private:
    void Separator() {
        if (!first_.empty()) {
            if (!first_.back()) {
                out_ += ',';
            }
            first_.back() = false;
        }
    }

    void Value() {
        if (afterKey_) {
            afterKey_ = false;
        } else {
            Separator();
        }
    }

    Json& Open(char bracket) {
        Value();
        out_ += bracket;
        first_.push_back(true);
        return *this;
    }
    Json& Close(char bracket) {
        out_ += bracket;
        first_.pop_back();
        return *this;
    }
    Json& Raw(const std::string& text) {
        Value();
        out_ += text;
        return *this;
    }

    void Quoted(const std::string& s) {
        out_ += '"';
        for (const char c : s) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                out_ += escaped;
            } else {
                out_ += (c == '"' || c == '\\') ? std::string{'\\', c} : std::string{c};
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};

void PrintError(const std::string& message);
long long Number(const std::wstring& text);

// Window helpers.
std::wstring ClassOf(HWND hwnd);
bool IsClass(HWND hwnd, const wchar_t* name);
std::wstring ServerText(HWND hwnd);
std::optional<std::wstring> MessageText(HWND hwnd);
DWORD ProcessOf(HWND hwnd);
HWND FindMainWindow();
int ScreenDpi();
RECT WindowRect(HWND hwnd);
RECT RectInClient(HWND child, HWND parent);
bool Responsive(HWND hwnd);
void WindowFields(Json& j, HWND hwnd);
std::vector<HWND> ChildrenInZOrder(HWND parent);
std::vector<HWND> TopLevelWindows();

// Fonts, read inside the program through the hook module.
struct FontRecord {
    int id;
    int valid;
    LOGFONTW font;
    wchar_t realizedFace[LF_FACESIZE];
    int realizedHeight;
    int realizedWeight;
};

struct FontTable {
    LONG count;
    FontRecord records[kMaxControls];
    int windowDpi;  // the main window's DPI as the program itself sees it
};

LRESULT CALLBACK FontHookProc(int code, WPARAM wParam, LPARAM lParam);
template <typename Table>
bool QueryInProgram(HWND main, HOOKPROC hookProc, const wchar_t* message, Table& table,
                    std::string& error);
const FontRecord* FindFont(const FontTable& table, int id);

// Commands.
int CmdDump(HWND main);
int CmdStatus(HWND main);
int CmdWatch(HWND main, int id, double seconds, const std::wstring& mark,
             const std::vector<std::wstring>& finals);
int CmdWindows();
int CmdSend(HWND main, bool post, const std::vector<std::wstring>& args);
int CmdDpiChanged(HWND main, const std::vector<std::wstring>& args);
int CmdPolicyChanged(HWND main);
int CmdBroadcastTaskbarCreated();
int CmdWaitWindow(double seconds);
int CmdChildren(HWND parent);
int CmdTray(HWND main);
int CmdTooltips();
int CmdTrayDelete(HWND main, UINT id);
int CmdMenu(HWND main);
HKEY RootKey(const std::wstring& name);
int CmdRegRead(HKEY root, const std::wstring& subkey, REGSAM view);
int CmdKeyDacl(HKEY root, const std::wstring& subkey, const std::wstring* sddl);

}  // namespace zprobe
