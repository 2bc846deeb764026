// ZelmoraSetup.dll: prepares the install folder for both installers, before any file goes in.
// The setup program calls PrepareInstallFolder through its System plug-in; the Windows
// Installer package calls PrepareInstallFolderAction as a deferred custom action, running as
// SYSTEM, with the folder as its CustomActionData, QuoteServiceImageAction once it has
// installed the clock service, and RemoveAutorunAction when it uninstalls. Nothing is imported
// beyond kernel32 and advapi32, so that no DLL beside the setup program is ever loaded for it.

#include <windows.h>
#include <aclapi.h>
#include <msiquery.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "app/app_core.h"
#include "platform/install_folder.h"
#include "platform/utf16.h"
#include "win32/shared/handles.h"
#include "win32/shared/service_names.h"
#include "win32/shared/system_dll.h"

namespace {

// Administrators own it; they and SYSTEM may change it, users read and run; nothing inherited.
constexpr wchar_t kFolderSddl[] =
    L"O:BAG:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
// A file in it: owned by Administrators, its list inherited from the folder alone.
constexpr wchar_t kFileSddl[] = L"O:BAG:BAD:AI";

enum Result : int { kReady = 0, kRefused = 1, kFailed = 2 };

bool OwnedByAdministrators(const std::wstring& path) {
    PSID owner = nullptr;
    unique_hlocal descriptor;
    if (GetNamedSecurityInfoW(
            path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
            nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put())) != ERROR_SUCCESS ||
        !owner) {
        return false;
    }
    if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
        IsWellKnownSid(owner, WinLocalSystemSid)) {
        return true;
    }
    // The administrator running the installer.
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        return false;
    }
    const unique_kernel_handle token(rawToken);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) &&
           EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

// What is at path; false when it could not be looked at (then nothing is done).
bool ReadFacts(const std::wstring& path, InstallFolderFacts& facts) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        facts.exists = false;
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    facts.exists = true;
    facts.isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (facts.isLink || !facts.isFolder) {
        return true;
    }
    facts.ownedByAdministrators = OwnedByAdministrators(path);
    WIN32_FIND_DATAW found{};
    HANDLE first = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found,
                                    FindExSearchNameMatch, nullptr, 0);
    if (first == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    const unique_find_handle search(first);
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            facts.entries.push_back({Utf16ToUtf8(std::wstring_view(name)),
                                     (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                     (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
        }
    } while (FindNextFileW(search.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

// The owner and list of sddl set on path; ERROR_SUCCESS or the system's error.
DWORD SetSecurity(const std::wstring& path, const wchar_t* sddl, SECURITY_INFORMATION what) {
    unique_hlocal descriptor;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            sddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()),
            nullptr) ||
        !GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted)) {
        return GetLastError();
    }
    return SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | what,
                                 owner, nullptr, dacl, nullptr);
}

// Made owned and locked in one step when locked: there is no moment in which another user
// could open it.
DWORD CreateFolder(const std::wstring& path, bool locked) {
    unique_hlocal descriptor;
    if (locked && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                      kFolderSddl, SDDL_REVISION_1,
                      reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()), nullptr)) {
        return GetLastError();
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    return CreateDirectoryW(path.c_str(), locked ? &attributes : nullptr) ? ERROR_SUCCESS
                                                                          : GetLastError();
}

// Creates what is missing of path's parents, ordinary folders as any installer makes them.
DWORD CreateParents(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash <= 2) {
        return ERROR_SUCCESS;
    }
    const std::wstring parent = path.substr(0, slash);
    if (GetFileAttributesW(parent.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return ERROR_SUCCESS;
    }
    const DWORD error = CreateParents(parent);
    return error != ERROR_SUCCESS ? error : CreateFolder(parent, false);
}

DWORD TakeOver(const std::wstring& path, const InstallFolderFacts& facts) {
    if (const DWORD error = SetSecurity(path, kFolderSddl, PROTECTED_DACL_SECURITY_INFORMATION);
        error != ERROR_SUCCESS) {
        return error;
    }
    for (const InstallFolderEntry& entry : facts.entries) {
        const std::wstring file = path + L"\\" + Utf8ToUtf16<wchar_t>(entry.name);
        if (const DWORD error = SetSecurity(file, kFileSddl, UNPROTECTED_DACL_SECURITY_INFORMATION);
            error != ERROR_SUCCESS) {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

// Lets an administrator's installer set the owner of a file a user owns.
void EnableOwnerPrivileges() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &rawToken)) {
        return;
    }
    const unique_kernel_handle token(rawToken);
    for (const wchar_t* name : {L"SeTakeOwnershipPrivilege", L"SeRestorePrivilege"}) {
        TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
            AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
        }
    }
}

Result Prepare(const wchar_t* folder, std::wstring& message) {
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(folder, MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        message = L"Its name is not a folder's name.";
        return kFailed;
    }
    std::wstring path(full, length);
    while (path.size() > 3 && path.back() == L'\\') {
        path.pop_back();
    }
    InstallFolderFacts facts;
    if (!ReadFacts(path, facts)) {
        message = L"It could not be looked at (error " + std::to_wstring(GetLastError()) + L").";
        return kFailed;
    }
    const InstallFolderVerdict verdict = JudgeInstallFolder(facts);
    if (const std::string_view refusal = InstallFolderRefusal(verdict); !refusal.empty()) {
        message = Utf8ToUtf16<wchar_t>(refusal);
        return kRefused;
    }
    EnableOwnerPrivileges();
    DWORD error = ERROR_SUCCESS;
    if (verdict == InstallFolderVerdict::Create) {
        error = CreateParents(path);
        // A folder that appeared since it was looked at is someone's: it fails here.
        if (error == ERROR_SUCCESS) {
            error = CreateFolder(path, true);
        }
    } else {
        error = TakeOver(path, facts);
    }
    if (error != ERROR_SUCCESS) {
        message =
            L"It could not be protected from other users (error " + std::to_wstring(error) + L").";
        return kFailed;
    }
    return kReady;
}

}  // namespace

// 0 when the folder is ready; else message (capacity characters) says why it is not.
extern "C" __declspec(dllexport) int __stdcall PrepareInstallFolder(const wchar_t* folder,
                                                                    wchar_t* message,
                                                                    int capacity) {
    std::wstring text;
    const Result result = Prepare(folder, text);
    if (message && capacity > 0) {
        lstrcpynW(message, text.c_str(), capacity);
    }
    return result;
}

namespace {

// The running installer's functions, from the msi.dll it has loaded, never searched for; and
// what a deferred action is given, its CustomActionData.
struct RunningInstaller {
    UINT(WINAPI* getProperty)(MSIHANDLE, LPCWSTR, LPWSTR, DWORD*) = nullptr;
    MSIHANDLE(WINAPI* createRecord)(UINT) = nullptr;
    UINT(WINAPI* setString)(MSIHANDLE, UINT, LPCWSTR) = nullptr;
    int(WINAPI* processMessage)(MSIHANDLE, INSTALLMESSAGE, MSIHANDLE) = nullptr;
    UINT(WINAPI* closeHandle)(MSIHANDLE) = nullptr;
    wchar_t data[MAX_PATH]{};

    bool Load(MSIHANDLE install) {
        const HMODULE msi = GetModuleHandleW(L"msi.dll");
        DWORD size = MAX_PATH;
        return msi && Resolve(msi, "MsiGetPropertyW", getProperty) &&
               Resolve(msi, "MsiCreateRecord", createRecord) &&
               Resolve(msi, "MsiRecordSetStringW", setString) &&
               Resolve(msi, "MsiProcessMessage", processMessage) &&
               Resolve(msi, "MsiCloseHandle", closeHandle) &&
               getProperty(install, L"CustomActionData", data, &size) == ERROR_SUCCESS;
    }
};

}  // namespace

// Windows Installer's entry: the folder is the CustomActionData; a refusal is logged and shown
// as the installation's error, which then rolls back.
extern "C" __declspec(dllexport) UINT __stdcall PrepareInstallFolderAction(MSIHANDLE install) {
    RunningInstaller installer;
    if (!installer.Load(install)) {
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring text;
    const Result result = Prepare(installer.data, text);
    if (result != kReady) {
        const MSIHANDLE record = installer.createRecord(1);
        const std::wstring line =
            L"Nothing was installed into " + std::wstring(installer.data) + L": " + text;
        installer.setString(record, 0, line.c_str());
        installer.processMessage(install, INSTALLMESSAGE_ERROR, record);
        installer.closeHandle(record);
    }
    return result == kReady ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Windows Installer's entry once it has installed the clock service: its program's path
// quoted, as the setup program registers it, whatever the installer wrote; unquoted, a path
// with blanks would first be tried cut at each blank (C:\Program.exe).
extern "C" __declspec(dllexport) UINT __stdcall QuoteServiceImageAction(MSIHANDLE) {
    const unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const unique_sc_handle service(manager
                                       ? OpenServiceW(manager.get(), kClockServiceName,
                                                      SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG)
                                       : nullptr);
    DWORD needed = 0;
    if (!service || (!QueryServiceConfigW(service.get(), nullptr, 0, &needed) &&
                     GetLastError() != ERROR_INSUFFICIENT_BUFFER)) {
        return ERROR_INSTALL_FAILURE;
    }
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, needed, &needed)) {
        return ERROR_INSTALL_FAILURE;
    }
    const std::wstring image = config->lpBinaryPathName;
    if (image.starts_with(L'"')) {
        return ERROR_SUCCESS;
    }
    const std::wstring quoted = L"\"" + image + L"\"";
    return ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                SERVICE_NO_CHANGE, quoted.c_str(), nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr)
               ? ERROR_SUCCESS
               : ERROR_INSTALL_FAILURE;
}

// Windows Installer's entry when it uninstalls from the folder in CustomActionData: the
// autorun value goes when it starts this installation's program or nothing, as the setup
// program's uninstaller does; another copy's stays. Never fails the uninstallation.
extern "C" __declspec(dllexport) UINT __stdcall RemoveAutorunAction(MSIHANDLE install) {
    RunningInstaller installer;
    HKEY rawKey = nullptr;
    if (!installer.Load(install) ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, Utf8ToUtf16<wchar_t>(kRunSubkey).c_str(), 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, &rawKey) != ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    const unique_hkey key(rawKey);
    const std::wstring name = Utf8ToUtf16<wchar_t>(kRunValueName);
    wchar_t value[MAX_PATH + 3]{};
    DWORD bytes = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(value),
                         &bytes) == ERROR_SUCCESS &&
        type == REG_SZ &&
        AutorunIsFor(Utf16ToUtf8(std::wstring_view(value)),
                     WithTrailingBackslash(Utf16ToUtf8(std::wstring_view(installer.data))))) {
        RegDeleteValueW(key.get(), name.c_str());
    }
    return ERROR_SUCCESS;
}
