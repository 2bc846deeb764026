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

#include <optional>
#include <string>
#include <vector>

#include "app/app_core.h"
#include "platform/install_folder.h"
#include "platform/managed_settings.h"
#include "platform/utf16.h"
#include "timeservice/time_service.h"
#include "win32/shared/handles.h"
#include "win32/shared/machine_values_win32.h"
#include "win32/shared/service_names.h"
#include "win32/shared/system_dll.h"

namespace {

// Administrators own it; they and SYSTEM may change it, users read and run; nothing inherited.
constexpr wchar_t kFolderSddl[] =
    L"O:BAG:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";

enum Result : int { kReady = 0, kRefused = 1, kFailed = 2 };

// TrustedInstaller, which owns the system's own folders.
constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The user who runs the installer: an administrator, whose own grants are the installer's.
struct InstallerIdentity {
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE]{};
    unique_hlocal trustedInstaller;

    bool Read() {
        HANDLE rawToken = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
            return false;
        }
        const unique_kernel_handle token(rawToken);
        DWORD size = 0;
        return GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size) &&
               ConvertStringSidToSidW(kTrustedInstallerSid,
                                      reinterpret_cast<PSID*>(trustedInstaller.put()));
    }

    bool IsAdministrator(PSID sid) const {
        return IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
               IsWellKnownSid(sid, WinLocalSystemSid) || EqualSid(sid, trustedInstaller.get()) ||
               EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(user)->User.Sid);
    }
};

// Opened as itself, never through a junction or link at its place.
unique_file_handle OpenNoFollow(const std::wstring& path, DWORD access, DWORD share) {
    return unique_file_handle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Its owner and access list, generic rights mapped to file rights; false when unreadable.
// sealed: its list takes nothing from the folders above it, now or when they change; a file
// system that keeps no such mark (Wine's) counts as sealed when nothing in it is inherited.
bool ReadAccess(HANDLE handle, const InstallerIdentity& installer, AccessFacts& access,
                bool* sealed = nullptr) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    unique_hlocal descriptor;
    if (const DWORD error = GetSecurityInfo(
            handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
            nullptr, &dacl, nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()));
        error != ERROR_SUCCESS) {
        SetLastError(error);
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool inheritsAny = false;
    access.ownerIsAdministrator = owner && installer.IsAdministrator(owner);
    access.hasList = dacl != nullptr;
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) {
            return false;
        }
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        const bool allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
                            header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        if (!allows && header->AceType != ACCESS_DENIED_ACE_TYPE) {
            continue;  // audit and label entries grant nothing
        }
        // The allowed, denied and callback entries share this layout.
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        DWORD rights = ace->Mask;
        MapGenericMask(&rights, &mapping);
        access.entries.push_back({allows, (header->AceFlags & INHERIT_ONLY_ACE) == 0,
                                  installer.IsAdministrator(&ace->SidStart), rights});
        inheritsAny = inheritsAny || (header->AceFlags & INHERITED_ACE) != 0;
    }
    if (sealed) {
        *sealed = GetSecurityDescriptorControl(descriptor.get(), &control, &revision) &&
                  ((control & SE_DACL_PROTECTED) != 0 || (dacl && !inheritsAny));
    }
    return true;
}

// The volume's root as the path names it ("C:\"); empty for a share or device path.
std::wstring DriveRoot(const std::wstring& path) {
    const bool letter =
        path.size() >= 3 && path[1] == L':' && path[2] == L'\\' &&
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
    return letter ? path.substr(0, 3) : std::wstring();
}

DriveKind KindOfDrive(const std::wstring& root) {
    switch (GetDriveTypeW(root.c_str())) {
        case DRIVE_FIXED:
            return DriveKind::LocalFixed;
        case DRIVE_REMOVABLE:
        case DRIVE_CDROM:
            return DriveKind::Removable;
        case DRIVE_REMOTE:
            return DriveKind::Remote;
        default:
            return DriveKind::Other;
    }
}

// Whether the handle's folder is another than path names (a subst drive, a link Windows
// followed); both compared in their long form.
bool ResolvesElsewhere(HANDLE handle, const std::wstring& path) {
    wchar_t final[MAX_PATH + 8];
    const DWORD length = GetFinalPathNameByHandleW(handle, final, MAX_PATH + 8, 0);
    wchar_t asked[MAX_PATH];
    const DWORD askedLength = GetLongPathNameW(path.c_str(), asked, MAX_PATH);
    if (length == 0 || length >= MAX_PATH + 8 || askedLength == 0 || askedLength >= MAX_PATH) {
        return true;
    }
    std::wstring_view resolved(final, length);
    if (resolved.starts_with(L"\\\\?\\")) {
        resolved.remove_prefix(4);
    }
    std::wstring_view named(asked, askedLength);
    while (resolved.size() > 3 && resolved.back() == L'\\') {
        resolved.remove_suffix(1);
    }
    while (named.size() > 3 && named.back() == L'\\') {
        named.remove_suffix(1);
    }
    return CompareStringOrdinal(resolved.data(), static_cast<int>(resolved.size()), named.data(),
                                static_cast<int>(named.size()), TRUE) != CSTR_EQUAL;
}

// A file in the folder, held open so that it is the one judged and then removed.
struct HeldEntry {
    std::wstring path;
    unique_file_handle handle;
};

// Reads one entry without following a link at its place. To remove it, it is opened for
// deletion and shared with no one: a handle someone else still holds makes that fail.
bool ReadEntry(const std::wstring& path, const std::wstring& name, bool forRemoval,
               InstallFolderFacts& facts, std::vector<HeldEntry>& held) {
    const std::wstring entryPath = path + L"\\" + name;
    unique_file_handle handle = forRemoval
                                    ? OpenNoFollow(entryPath, DELETE | FILE_READ_ATTRIBUTES, 0)
                                    : OpenNoFollow(entryPath, FILE_READ_ATTRIBUTES, kShareAll);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || !GetFileInformationByHandle(handle.get(), &info)) {
        return false;
    }
    facts.entries.push_back({Utf16ToUtf8(std::wstring_view(name)),
                             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                             (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
                             info.nNumberOfLinks});
    held.push_back({entryPath, std::move(handle)});
    return true;
}

bool ReadEntries(const std::wstring& path, bool forRemoval, InstallFolderFacts& facts,
                 std::vector<HeldEntry>& held) {
    WIN32_FIND_DATAW found{};
    HANDLE first = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found,
                                    FindExSearchNameMatch, nullptr, 0);
    if (first == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    const unique_find_handle search(first);
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L".." && !ReadEntry(path, name, forRemoval, facts, held)) {
            return false;
        }
    } while (FindNextFileW(search.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

// What is at path, its drive and the folders above it; false when something could not be
// looked at (then nothing is done). The folder and its files stay open in held.
bool ReadFacts(const std::wstring& path, const InstallerIdentity& installer, bool forRemoval,
               InstallFolderFacts& facts, unique_file_handle& folder,
               std::vector<HeldEntry>& held) {
    const std::wstring root = DriveRoot(path);
    if (root.empty()) {
        facts.drive = path.starts_with(L"\\\\") ? DriveKind::Remote : DriveKind::Other;
        return true;
    }
    facts.drive = KindOfDrive(root);
    DWORD volumeFlags = 0;
    if (!GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, &volumeFlags, nullptr,
                               0)) {
        return false;
    }
    facts.keepsAccessLists = (volumeFlags & FILE_PERSISTENT_ACLS) != 0;
    // The existing folders above it, the root first; deepest is the lowest one that exists.
    std::wstring deepest = root;
    unique_file_handle deepestHandle;
    for (std::size_t end = 2; end != std::wstring::npos && end < path.size();
         end = path.find(L'\\', end + 1)) {
        const std::wstring parent = end == 2 ? root : path.substr(0, end);
        unique_file_handle handle =
            OpenNoFollow(parent, READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll);
        if (!handle) {
            if (IsMissing(GetLastError())) {
                break;
            }
            return false;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        InstallFolderParent above{};
        if (!GetFileInformationByHandle(handle.get(), &info) ||
            !ReadAccess(handle.get(), installer, above.access)) {
            return false;
        }
        above.isLink = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        facts.parents.push_back(std::move(above));
        deepest = parent;
        deepestHandle = std::move(handle);
    }
    DWORD access = READ_CONTROL | FILE_READ_ATTRIBUTES;
    if (forRemoval) {
        access |= WRITE_DAC | WRITE_OWNER;
    }
    folder = OpenNoFollow(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!folder) {
        facts.exists = false;
        if (!IsMissing(GetLastError())) {
            return false;
        }
        facts.resolvesElsewhere = deepestHandle && ResolvesElsewhere(deepestHandle.get(), deepest);
        return true;
    }
    facts.exists = true;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(folder.get(), &info)) {
        return false;
    }
    facts.isFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.isLink = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (facts.isLink || !facts.isFolder) {
        return true;
    }
    facts.resolvesElsewhere = ResolvesElsewhere(folder.get(), path);
    if (!ReadAccess(folder.get(), installer, facts.access)) {
        return false;
    }
    facts.ownedByAdministrators = facts.access.ownerIsAdministrator;
    return ReadEntries(path, forRemoval, facts, held);
}

// Owned by an administrator, its list sealed and denying others any write.
bool IsLocked(HANDLE handle, const InstallerIdentity& installer) {
    AccessFacts access;
    bool sealed = false;
    return ReadAccess(handle, installer, access, &sealed) && sealed &&
           access.ownerIsAdministrator && (RightsOfOthers(access) & file_rights::kAnyWrite) == 0;
}

// The folder's owner and locked list, set on the folder opened.
DWORD LockFolder(HANDLE folder) {
    unique_hlocal descriptor;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kFolderSddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()),
            nullptr) ||
        !GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted)) {
        return GetLastError();
    }
    return SetSecurityInfo(folder, SE_FILE_OBJECT,
                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                               PROTECTED_DACL_SECURITY_INFORMATION,
                           owner, nullptr, dacl, nullptr);
}

// Made owned and locked in one step: there is no moment in which another user could open it.
DWORD CreateLockedFolder(const std::wstring& path) {
    unique_hlocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kFolderSddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()),
            nullptr)) {
        return GetLastError();
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    return CreateDirectoryW(path.c_str(), &attributes) ? ERROR_SUCCESS : GetLastError();
}

// Creates path and what is missing above it, each locked as the install folder is. A folder
// that appeared since it was looked at is someone's: creating it fails.
DWORD CreateWithParents(const std::wstring& path, std::size_t existingParents) {
    std::size_t end = 2;
    for (std::size_t i = 0; i < existingParents && end != std::wstring::npos; ++i) {
        end = path.find(L'\\', end + 1);
    }
    for (; end != std::wstring::npos; end = path.find(L'\\', end + 1)) {
        if (const DWORD error = CreateLockedFolder(path.substr(0, end)); error != ERROR_SUCCESS) {
            return error;
        }
    }
    return CreateLockedFolder(path);
}

// The restore and take-ownership privileges, enabled while the folder is made ready and
// returned to what they were when it goes.
class OwnerPrivileges {
public:
    OwnerPrivileges() {
        HANDLE rawToken = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                              &rawToken)) {
            return;
        }
        token_.reset(rawToken);
        for (const wchar_t* name : {L"SeTakeOwnershipPrivilege", L"SeRestorePrivilege"}) {
            TOKEN_PRIVILEGES wanted{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
            TOKEN_PRIVILEGES before{};
            DWORD size = 0;
            if (LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid) &&
                AdjustTokenPrivileges(token_.get(), FALSE, &wanted, sizeof before, &before,
                                      &size) &&
                GetLastError() == ERROR_SUCCESS && before.PrivilegeCount == 1) {
                previous_.push_back(before);
            }
        }
    }
    OwnerPrivileges(const OwnerPrivileges&) = delete;
    OwnerPrivileges& operator=(const OwnerPrivileges&) = delete;
    ~OwnerPrivileges() {
        for (TOKEN_PRIVILEGES& before : previous_) {
            AdjustTokenPrivileges(token_.get(), FALSE, &before, 0, nullptr, nullptr);
        }
    }

private:
    unique_kernel_handle token_;
    std::vector<TOKEN_PRIVILEGES> previous_;  // each as it was before it was enabled
};

// Removes every file that was in the folder, before any new one is written in its place.
DWORD RemoveEntries(std::vector<HeldEntry>& held) {
    for (HeldEntry& entry : held) {
        FILE_DISPOSITION_INFO dispose{TRUE};
        if (!SetFileInformationByHandle(entry.handle.get(), FileDispositionInfo, &dispose,
                                        sizeof dispose)) {
            return GetLastError();
        }
        entry.handle.reset();
    }
    return ERROR_SUCCESS;
}

std::wstring WithError(const wchar_t* text, DWORD error) {
    return text + std::wstring(L" (error ") + std::to_wstring(error) + L").";
}

// Judges the folder and, unless only judging, makes it ready: created or taken over, then
// read back.
Result Prepare(const wchar_t* folder, bool act, std::wstring& message) {
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
    InstallerIdentity installer;
    if (!installer.Read()) {
        message = WithError(L"Who runs the installer could not be read", GetLastError());
        return kFailed;
    }
    // Enabled before the folder is opened, so that its handle may set its owner.
    const OwnerPrivileges privileges;
    InstallFolderFacts facts;
    unique_file_handle handle;
    std::vector<HeldEntry> held;
    if (!ReadFacts(path, installer, act, facts, handle, held)) {
        const DWORD error = GetLastError();
        message = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED
                      ? WithError(
                            L"A file in it is in use. Close the program that uses it, "
                            L"then try again",
                            error)
                      : WithError(L"It could not be looked at", error);
        return kFailed;
    }
    const InstallFolderVerdict verdict = JudgeInstallFolder(facts);
    if (const std::string_view refusal = InstallFolderRefusal(verdict); !refusal.empty()) {
        message = Utf8ToUtf16<wchar_t>(refusal);
        return kRefused;
    }
    if (!act) {
        return kReady;
    }
    DWORD error = ERROR_SUCCESS;
    if (verdict == InstallFolderVerdict::Create) {
        error = CreateWithParents(path, facts.parents.size());
        if (error == ERROR_SUCCESS) {
            handle = OpenNoFollow(path, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE);
            error = handle ? ERROR_SUCCESS : GetLastError();
        }
    } else {
        error = LockFolder(handle.get());
        if (error == ERROR_SUCCESS) {
            error = RemoveEntries(held);
        }
    }
    if (error != ERROR_SUCCESS) {
        message = WithError(L"It could not be protected from other users", error);
        return kFailed;
    }
    if (!IsLocked(handle.get(), installer)) {
        message =
            WithError(L"Its protection did not take effect. Nothing was installed", GetLastError());
        return kFailed;
    }
    return kReady;
}

// The setup program's answer: the result, and why in message (capacity characters).
int Answer(const wchar_t* folder, bool act, wchar_t* message, int capacity) {
    std::wstring text;
    const Result result = Prepare(folder, act, text);
    if (message && capacity > 0) {
        lstrcpynW(message, text.c_str(), capacity);
    }
    return result;
}

}  // namespace

// 0 when the folder is ready; else message (capacity characters) says why it is not.
extern "C" __declspec(dllexport) int __stdcall PrepareInstallFolder(const wchar_t* folder,
                                                                    wchar_t* message,
                                                                    int capacity) {
    return Answer(folder, true, message, capacity);
}

// As PrepareInstallFolder, but only judges: nothing is changed. The setup program asks it
// before it ends a running copy, whose files it then removes.
extern "C" __declspec(dllexport) int __stdcall CheckInstallFolder(const wchar_t* folder,
                                                                  wchar_t* message, int capacity) {
    return Answer(folder, false, message, capacity);
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
    // A folder, or the longest time page address the program takes.
    wchar_t data[2 * MAX_PATH + 2048]{};

    bool Load(MSIHANDLE install) {
        const HMODULE msi = GetModuleHandleW(L"msi.dll");
        DWORD size = static_cast<DWORD>(std::size(data));
        return msi && Resolve(msi, "MsiGetPropertyW", getProperty) &&
               Resolve(msi, "MsiCreateRecord", createRecord) &&
               Resolve(msi, "MsiRecordSetStringW", setString) &&
               Resolve(msi, "MsiProcessMessage", processMessage) &&
               Resolve(msi, "MsiCloseHandle", closeHandle) &&
               getProperty(install, L"CustomActionData", data, &size) == ERROR_SUCCESS;
    }
};

// Shows a refusal as the installation's error, which then rolls back.
void Refuse(RunningInstaller& installer, MSIHANDLE install, const std::wstring& line) {
    const MSIHANDLE record = installer.createRecord(1);
    installer.setString(record, 0, line.c_str());
    installer.processMessage(install, INSTALLMESSAGE_ERROR, record);
    installer.closeHandle(record);
}

// A deferred action's step on its CustomActionData; a refusal is logged and shown as the
// installation's error, which then rolls back.
template <typename Step>
UINT RefusableAction(MSIHANDLE install, Step step) {
    RunningInstaller installer;
    if (!installer.Load(install)) {
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring why;
    if (!step(std::wstring(installer.data), why)) {
        Refuse(installer, install, why);
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

// Writes the machine's preferred time page where the program and the service read it, the
// 64-bit view, and reads it back; an address they would not take is refused, not written.
int WriteTimePage(const std::wstring& url, std::wstring& why) {
    const std::string page = Utf16ToUtf8(std::wstring_view(url));
    const bool httpsOnly = TimePageUrl().starts_with("https://");
    if (page.size() > RowOf(Managed::TimePage).max || !PageAddressAcceptable(page, httpsOnly)) {
        why = L"TIMEPAGE must be " +
              std::wstring(httpsOnly ? L"an https://" : L"an http:// or https://") +
              L" address without blanks or quotes, not: " + url;
        return 1;
    }
    unique_hkey key;
    const std::wstring path = Utf8ToUtf16<wchar_t>(kPreferenceKey);
    LONG status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
    const std::wstring name = Utf8ToUtf16<wchar_t>(RowOf(Managed::TimePage).name);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(url.c_str()),
                                static_cast<DWORD>((url.size() + 1) * sizeof(wchar_t)));
    }
    Win32MachineValues machine;
    const MachineValue back =
        machine.ReadMachineValue(kPreferenceKey, RowOf(Managed::TimePage).name);
    if (status != ERROR_SUCCESS || back.kind != MachineValue::Kind::Text || back.text != page) {
        why = L"The time page could not be written to HKLM\\" + path + L" (error " +
              std::to_wstring(status) + L").";
        return 2;
    }
    return 0;
}

}  // namespace

// The setup program's command line: 0 once its /TIMEPAGE= is written, or when it has none; else
// message (capacity characters) says why not.
extern "C" __declspec(dllexport) int __stdcall WriteTimePageSwitch(const wchar_t* commandLine,
                                                                   wchar_t* message, int capacity) {
    const std::optional<std::string> url =
        SwitchValue(Utf16ToUtf8(std::wstring_view(commandLine)), "/TIMEPAGE=");
    std::wstring why;
    const int result = url ? WriteTimePage(Utf8ToUtf16<wchar_t>(*url), why) : 0;
    if (message && capacity > 0) {
        lstrcpynW(message, why.c_str(), capacity);
    }
    return result;
}

// Windows Installer's entry for the property TIMEPAGE, its CustomActionData.
extern "C" __declspec(dllexport) UINT __stdcall WriteTimePageAction(MSIHANDLE install) {
    return RefusableAction(install, [](const std::wstring& url, std::wstring& why) {
        return WriteTimePage(url, why) == 0;
    });
}

// Windows Installer's entry: the folder is the CustomActionData.
extern "C" __declspec(dllexport) UINT __stdcall PrepareInstallFolderAction(MSIHANDLE install) {
    return RefusableAction(install, [](const std::wstring& folder, std::wstring& why) {
        std::wstring text;
        if (Prepare(folder.c_str(), true, text) == kReady) {
            return true;
        }
        why = L"Nothing was installed into " + folder + L": " + text;
        return false;
    });
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
