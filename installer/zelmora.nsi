; Setup program for the 32-bit Zelmora.exe. Built by the i686 build (target "setup"):
;   makensis -DVERSION=<a.bb.dddd> -DVI_VERSION=<a.b.c.d> -DWINDOW_CLASS=ZelmoraMainWindow
;            -DRUN_VALUE=OrvaZelmora -DEXE=... -DREADME=... -DICON=... -DOUTFILE=... zelmora.nsi
;            [-DSERVICE_EXE=...] -DSERVICE_DISPLAY="Orva Zelmora Clock Service"
;            -DSETUP_DLL=.../ZelmoraSetup.dll -DMSI_UPGRADE_CODE={guid}
; Silently: setup.exe /S [/TIMEPAGE=address] [/D=folder, last and unquoted]; uninstall.exe /S.
; /TIMEPAGE= writes the machine's preferred time page, which a policy overrides. Exit codes: 0 done,
; 1 cancelled, 2 aborted, 3 the clock service could not be set up (and was removed), 4 it could
; not be removed (and was disabled), 5 it could be neither removed nor disabled, 740 not an
; administrator, 1638 the Windows Installer
; package of Zelmora is installed (not overwritten). The clock service
; is a component, on by default and in silent installs; /S never leaves it out. Only an
; https:// build passes SERVICE_EXE: without it there is no such component, and an upgrade
; removes an installed service.

Unicode true
SetCompressor /SOLID lzma
; Extracted files get the time of installation, so the same inputs give the same setup.
SetDateSave off
RequestExecutionLevel admin
ManifestDPIAware true
AllowSkipFiles off

!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh
!include MUI2.nsh
!include Sections.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelmora"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define ENDSESSION_LOGOFF 0x80000000
!define SYNCHRONIZE 0x00100000
!define WAIT_TIMEOUT 258
; How long the running program gets to answer each message, and then to end.
!define ANSWER_WAIT_MS 5000
!define END_WAIT_MS 10000
!define SERVICE "ZelmoraClock"
; The service's records go to a log of their own, Zelmora, from a source of its name: only
; SYSTEM and the service's own SID may write it (in the Application log any interactive user
; may, and anyone may take the name of an unregistered source there); Administrators read and
; clear it, Event Log Readers read it. The same list as the package's (zelmora.wxs).
!define EVENT_LOG "SYSTEM\CurrentControlSet\Services\EventLog\Zelmora"
!define EVENT_LOG_SD "O:BAG:SYD:(A;;0xf0007;;;SY)(A;;0x3;;;S-1-5-80-3685289750-2708365769-3374620366-1393223451-2422757800)(A;;0x5;;;BA)(A;;0x1;;;S-1-5-32-573)"
!define EVENT_SOURCE "${EVENT_LOG}\${SERVICE}"
; Where earlier versions registered the source.
!define OLD_EVENT_SOURCE "SYSTEM\CurrentControlSet\Services\EventLog\Application\${SERVICE}"
!define SC '"$SYSDIR\sc.exe"'
; How long the service's process gets to end after it reports STOPPED.
!define SERVICE_EXIT_WAIT_MS 10000

Name "Orva Zelmora"
OutFile "${OUTFILE}"
; A signed release: SIGN_COMMAND "file" signs the file in place, the uninstaller before it is
; packed and the setup program once written; if it fails, so does the build.
!ifdef SIGN_COMMAND
    !uninstfinalize '${SIGN_COMMAND} "%1"' = 0
    !finalize '${SIGN_COMMAND} "%1"' = 0
!endif
InstallDir "$PROGRAMFILES\Zelmora"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Orva Zelmora ${VERSION}"

VIProductVersion "${VI_VERSION}"
VIFileVersion "${VI_VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "Orva Zelmora"
VIAddVersionKey /LANG=1033 "CompanyName" "Orva"
VIAddVersionKey /LANG=1033 "FileDescription" "Orva Zelmora Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) Orva"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION RunAsTheUser
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!define SERVICE_NOT_REMOVED "The clock service could not be removed, so it has been disabled and nothing else was changed. Remove it with $\"sc delete ${SERVICE}$\" as an administrator, then run this again."
!define SERVICE_NOT_DISABLED "The clock service could be neither removed nor disabled, so nothing else was changed. Remove it with $\"sc delete ${SERVICE}$\" as an administrator, then run this again."
!define PACKAGE_INSTALLED "Zelmora is installed from its Windows Installer package. Remove it first (Settings, Apps, Orva Zelmora), then run this again; the settings stay."
!define STILL_RUNNING "Zelmora is still running and did not end when asked to.$\r$\n$\r$\nLeave it with Exit in its tray icon's menu, then choose Retry."

!include StrFunc.nsh
${Using:StrFunc} StrStr
${Using:StrFunc} UnStrStr

Var RunPath ; the program the autorun value starts, quotes removed

; Installer and uninstaller each need their own copy of a function.
!macro SHARED_FUNCTIONS un
    ; A running Zelmora is ended the way log-off ends it, so that it saves its settings.
    Function ${un}EndRunningProgram
        ${Do}
            FindWindow $0 "${WINDOW_CLASS}"
            ${If} $0 = 0
                Return
            ${EndIf}
            DetailPrint "Ending the running Zelmora..."
            System::Call "user32::GetWindowThreadProcessId(p r0, *i 0 r1)"
            System::Call "kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i r1) p .r2"
            SendMessage $0 ${WM_QUERYENDSESSION} 0 ${ENDSESSION_LOGOFF} $3 /TIMEOUT=${ANSWER_WAIT_MS}
            SendMessage $0 ${WM_ENDSESSION} 1 ${ENDSESSION_LOGOFF} $3 /TIMEOUT=${ANSWER_WAIT_MS}
            StrCpy $4 ${WAIT_TIMEOUT}
            ${If} $2 P<> 0
                System::Call "kernel32::WaitForSingleObject(p r2, i ${END_WAIT_MS}) i .r4"
                System::Call "kernel32::CloseHandle(p r2)"
            ${EndIf}
            FindWindow $0 "${WINDOW_CLASS}"
            ${If} $0 = 0
            ${AndIf} $4 = 0
                Return
            ${EndIf}
            ${IfNot} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${STILL_RUNNING}" /SD IDCANCEL IDRETRY`
                Abort "Zelmora is still running."
            ${EndIf}
        ${Loop}
    FunctionEnd

    ; Sets $RunPath from the autorun value; the error flag is set when there is none.
    Function ${un}ReadRunPath
        ClearErrors
        ReadRegStr $RunPath HKLM "${RUN_KEY}" "${RUN_VALUE}"
        ${IfNot} ${Errors}
            StrCpy $0 $RunPath 1
            StrCpy $1 $RunPath 1 -1
            ${If} $0 == '"'
            ${AndIf} $1 == '"'
                StrCpy $RunPath $RunPath -1 1
            ${EndIf}
        ${EndIf}
    FunctionEnd

    ; Pops a folder, pushes 1 when $RunPath is the Zelmora.exe in it, else 0. Short names
    ; are compared too, so another spelling of the same file matches.
    Function ${un}RunPathIsIn
        Exch $0
        StrCpy $0 "$0\Zelmora.exe"
        ${If} $RunPath == $0
            StrCpy $0 1
        ${ElseIf} $RunPath == ""
            StrCpy $0 0
        ${Else}
            GetFullPathName /SHORT $1 $0
            GetFullPathName /SHORT $2 $RunPath
            ${If} $1 != ""
            ${AndIf} $1 == $2
                StrCpy $0 1
            ${Else}
                StrCpy $0 0
            ${EndIf}
        ${EndIf}
        Exch $0
    FunctionEnd

    ; Stops the clock service, if installed, waits up to 15 s for it to have stopped and
    ; then up to SERVICE_EXIT_WAIT_MS for its process to end, so that its file is free.
    Function ${un}StopService
        nsExec::ExecToStack '${SC} query ${SERVICE}'
        Pop $0
        Pop $1
        ${If} $0 <> 0 ; not installed
            Return
        ${EndIf}
        DetailPrint "Stopping the clock service..."
        ; Its process, from the service manager, opened before it is asked to stop.
        StrCpy $5 0
        System::Call "advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r6"
        System::Call "advapi32::OpenServiceW(p r6, w '${SERVICE}', i 4) p .r7"
        System::Call "*(&i36) p .r8"
        System::Call "advapi32::QueryServiceStatusEx(p r7, i 0, p r8, i 36, *i .r9) i .r0"
        ${If} $0 <> 0
            System::Call "*$8(i, i, i, i, i, i, i, i .r4)"
            ${If} $4 <> 0
                System::Call "kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i r4) p .r5"
            ${EndIf}
        ${EndIf}
        System::Free $8
        System::Call "advapi32::CloseServiceHandle(p r7)"
        System::Call "advapi32::CloseServiceHandle(p r6)"
        nsExec::ExecToStack '${SC} stop ${SERVICE}'
        Pop $0
        Pop $1
        ${For} $2 1 30
            nsExec::ExecToStack '${SC} query ${SERVICE}'
            Pop $0
            Pop $1
            !if "${un}" == "un."
                ${UnStrStr} $3 $1 "STOPPED"
            !else
                ${StrStr} $3 $1 "STOPPED"
            !endif
            ${If} $3 != ""
                ${Break}
            ${EndIf}
            Sleep 500
        ${Next}
        ${If} $5 P<> 0
            System::Call "kernel32::WaitForSingleObject(p r5, i ${SERVICE_EXIT_WAIT_MS}) i .r4"
            System::Call "kernel32::CloseHandle(p r5)"
            ${If} $4 <> 0
                Abort "The clock service's program did not end within 10 seconds."
            ${EndIf}
        ${EndIf}
    FunctionEnd

    ; Stops and deletes the clock service and its program. Where the service manager keeps
    ; the registration, the service is disabled, so that it never starts from a folder that
    ; goes, and nothing else is done.
    Function ${un}RemoveService
        nsExec::ExecToStack '${SC} query ${SERVICE}'
        Pop $0
        Pop $1
        ${If} $0 = 0
            Call ${un}StopService
            nsExec::ExecToLog '${SC} delete ${SERVICE}'
            Pop $0
            ${If} $0 <> 0
                nsExec::ExecToLog '${SC} config ${SERVICE} start= disabled'
                Pop $0
                ${If} $0 <> 0
                    MessageBox MB_ICONSTOP "${SERVICE_NOT_DISABLED}" /SD IDOK
                    SetErrorLevel 5
                ${Else}
                    MessageBox MB_ICONSTOP "${SERVICE_NOT_REMOVED}" /SD IDOK
                    SetErrorLevel 4
                ${EndIf}
                Abort "The clock service could not be removed."
            ${EndIf}
        ${EndIf}
        DeleteRegKey HKLM "${EVENT_LOG}"
        DeleteRegKey HKLM "${OLD_EVENT_SOURCE}"
        Delete "$INSTDIR\ZelmoraService.exe"
    FunctionEnd

    Function ${un}RequireAdmin
        UserInfo::GetAccountType
        Pop $0
        ${If} $0 != "Admin"
            MessageBox MB_ICONSTOP "Administrator rights are needed to set up Zelmora." /SD IDOK
            SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
            Quit
        ${EndIf}
    FunctionEnd
!macroend
!insertmacro SHARED_FUNCTIONS ""
!insertmacro SHARED_FUNCTIONS "un."

; Through the shell, so that the program runs as the user who is logged on, with that
; user's settings, and not with this setup program's administrator rights.
Function RunAsTheUser
    Exec '"$WINDIR\explorer.exe" "$INSTDIR\Zelmora.exe"'
FunctionEnd

; The package's installation is Windows Installer's to change: never half-overwritten.
Function RefusePackageInstallation
    System::Call '$SYSDIR\msi.dll::MsiEnumRelatedProductsW(w "${MSI_UPGRADE_CODE}", i 0, i 0, w .r0) i .r1'
    ${If} $1 = 0
        MessageBox MB_ICONSTOP "${PACKAGE_INSTALLED}" /SD IDOK
        SetErrorLevel 1638 ; ERROR_PRODUCT_VERSION: another version of the product is installed
        Quit
    ${EndIf}
FunctionEnd

Function .onInit
    Call RequireAdmin
    Call RefusePackageInstallation
FunctionEnd

Function un.onInit
    Call un.RequireAdmin
FunctionEnd

; Only administrators and SYSTEM may change the folder or any folder above it, and users may
; read and run what is in it; it is created owned by Administrators and locked in one step,
; on a local fixed drive that keeps access lists. An existing folder is taken only when it is
; locked already and holds nothing but Zelmora's files, which are removed before new ones are
; written. Without it, nothing is installed. Called first with CheckInstallFolder, which only
; judges, then with PrepareInstallFolder once a running copy has ended.
!macro FolderStep ENTRY
    InitPluginsDir
    File "/oname=$PLUGINSDIR\ZelmoraSetup.dll" "${SETUP_DLL}"
    StrCpy $6 $INSTDIR ; through a register: a folder's name may hold a quote
    System::Call '$PLUGINSDIR\ZelmoraSetup.dll::${ENTRY}(w r6, w .r1, i ${NSIS_MAX_STRLEN}) i .r0 ?u'
    ${If} $0 != 0
        MessageBox MB_ICONSTOP "Nothing was installed into $INSTDIR.$\r$\n$\r$\n$1" /SD IDOK
        Abort "The folder was refused: $1"
    ${EndIf}
!macroend
Function CheckFolder
    !insertmacro FolderStep CheckInstallFolder
FunctionEnd
Function PrepareFolder
    !insertmacro FolderStep PrepareInstallFolder
FunctionEnd

Var EarlierFolder ; an earlier installation's folder other than this one's, or ""

Function FindEarlierInstallation
    ReadRegStr $EarlierFolder HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $EarlierFolder == $INSTDIR
        StrCpy $EarlierFolder ""
    ${EndIf}
    GetFullPathName /SHORT $0 $EarlierFolder
    GetFullPathName /SHORT $1 $INSTDIR
    ${If} $0 != ""
    ${AndIf} $0 == $1
        StrCpy $EarlierFolder ""
    ${EndIf}
FunctionEnd

; Installed before into another folder: its service must not point into a folder that goes,
; so it is removed before anything else changes, and set up anew here.
Function RemoveEarlierService
    ${If} $EarlierFolder != ""
        Call RemoveService
    ${EndIf}
FunctionEnd

; Installed before into another folder: that copy goes and its autorun entry moves here.
Function MoveEarlierInstallation
    ${If} $EarlierFolder == ""
        Return
    ${EndIf}
    StrCpy $5 $EarlierFolder
    Call ReadRunPath
    ${IfNot} ${Errors}
        Push $5
        Call RunPathIsIn
        Pop $0
        ${If} $0 = 1
            ; Quoted when it has a blank, as the program writes it.
            StrCpy $0 "$INSTDIR\Zelmora.exe"
            ${StrStr} $1 $0 " "
            ${If} $1 != ""
                StrCpy $0 '"$0"'
            ${EndIf}
            WriteRegStr HKLM "${RUN_KEY}" "${RUN_VALUE}" $0
        ${EndIf}
    ${EndIf}
    Delete "$5\Zelmora.exe"
    Delete "$5\ZelmoraService.exe"
    Delete "$5\readme.txt"
    Delete "$5\uninstall.exe"
    RMDir "$5"
FunctionEnd

; /TIMEPAGE=: the machine's preferred time page, in the 64-bit view where the program reads it;
; an address the program would not take is refused before anything is installed.
Function WriteTimePage
    ${GetParameters} $6 ; the address holds slashes, which GetOptions takes for the next switch
    InitPluginsDir
    File "/oname=$PLUGINSDIR\ZelmoraSetup.dll" "${SETUP_DLL}"
    System::Call '$PLUGINSDIR\ZelmoraSetup.dll::WriteTimePageSwitch(w r6, w .r1, i ${NSIS_MAX_STRLEN}) i .r0 ?u'
    ${If} $0 != 0
        MessageBox MB_ICONSTOP "Nothing was installed.$\r$\n$\r$\n$1" /SD IDOK
        Abort "The time page was refused: $1"
    ${EndIf}
FunctionEnd

Section "Zelmora" SecProgram
    SectionIn RO
    SetShellVarContext all
    Call WriteTimePage
    Call CheckFolder
    Call FindEarlierInstallation
    Call EndRunningProgram
    ; Its files are removed and written anew below; started again by its own component.
    Call StopService
    Call RemoveEarlierService
    Call PrepareFolder
    Call MoveEarlierInstallation

    SetOutPath "$INSTDIR"
    File "/oname=Zelmora.exe" "${EXE}"
    File "/oname=readme.txt" "${README}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\Zelmora.lnk" "$INSTDIR\Zelmora.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Orva Zelmora"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Orva"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Zelmora.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

!ifdef SERVICE_EXE
Var ServiceFailed ; the first sc step of the service's set-up that failed, if any

; Runs one sc step of the service's set-up unless one has failed; remembers the first failure.
!macro SERVICE_STEP ARGS
    ${If} $ServiceFailed == ""
        nsExec::ExecToLog `${SC} ${ARGS}`
        Pop $1
        ${If} $1 != 0
            StrCpy $ServiceFailed `sc ${ARGS} (exit code $1)`
        ${EndIf}
    ${EndIf}
!macroend

; A started service may still end on its way up: it counts once it runs, within 30 s by the
; clock (each query may itself take a while).
Function WaitUntilServiceRuns
    System::Call "kernel32::GetTickCount() i .r4"
    ${Do}
        nsExec::ExecToStack '${SC} query ${SERVICE}'
        Pop $0
        Pop $1
        ${StrStr} $3 $1 "RUNNING"
        ${If} $3 != ""
            Return
        ${EndIf}
        Sleep 500
        System::Call "kernel32::GetTickCount() i .r2"
        IntOp $2 $2 - $4
    ${LoopWhile} $2 < 30000
    StrCpy $ServiceFailed "sc start ${SERVICE} (not running after 30 seconds)"
FunctionEnd

; Holds the right to set the clock, so that ordinary users' Synchronize works: as LOCAL
; SERVICE with no other privilege and its own SID (the pipe grants that SID), started with
; Windows, restarted when it fails. Unless every step worked, the service goes.
Section "Clock service" SecService
    SetOutPath "$INSTDIR"
    File "/oname=ZelmoraService.exe" "${SERVICE_EXE}"
    StrCpy $ServiceFailed ""
    StrCpy $0 'binPath= "\"$INSTDIR\ZelmoraService.exe\"" obj= "NT AUTHORITY\LocalService" password= "" start= auto'
    nsExec::ExecToStack '${SC} query ${SERVICE}'
    Pop $1
    Pop $2
    ${If} $1 = 0
        nsExec::ExecToLog '${SC} config ${SERVICE} $0 DisplayName= "${SERVICE_DISPLAY}"'
        Pop $1
        ; Where sc cannot change a registration (Wine's), it is made anew.
        ${If} $1 <> 0
            nsExec::ExecToLog '${SC} delete ${SERVICE}'
            Pop $1
            StrCpy $1 1
        ${EndIf}
    ${EndIf}
    ${If} $1 <> 0
        !insertmacro SERVICE_STEP 'create ${SERVICE} $0 DisplayName= "${SERVICE_DISPLAY}"'
    ${EndIf}
    !insertmacro SERVICE_STEP 'description ${SERVICE} "Sets the clock from the time page when Zelmora asks and the user may not."'
    !insertmacro SERVICE_STEP 'privs ${SERVICE} SeSystemtimePrivilege'
    !insertmacro SERVICE_STEP 'sidtype ${SERVICE} unrestricted'
    !insertmacro SERVICE_STEP 'failure ${SERVICE} reset= 86400 actions= restart/60000/restart/60000/restart/60000'
    !insertmacro SERVICE_STEP 'failureflag ${SERVICE} 1'
    ; Its records' texts are in its exe. A source name is looked up in every log: the old one goes.
    ${If} $ServiceFailed == ""
        DeleteRegKey HKLM "${OLD_EVENT_SOURCE}"
        ClearErrors
        WriteRegStr HKLM "${EVENT_LOG}" "CustomSD" "${EVENT_LOG_SD}"
        WriteRegExpandStr HKLM "${EVENT_SOURCE}" "EventMessageFile" "$INSTDIR\ZelmoraService.exe"
        WriteRegDWORD HKLM "${EVENT_SOURCE}" "TypesSupported" 7
        ${If} ${Errors}
            StrCpy $ServiceFailed "the log Zelmora and its source ${SERVICE}"
        ${EndIf}
    ${EndIf}
    !insertmacro SERVICE_STEP 'start ${SERVICE}'
    ${If} $ServiceFailed == ""
        Call WaitUntilServiceRuns
    ${EndIf}
    ${If} $ServiceFailed != ""
        DetailPrint "$ServiceFailed failed: the clock service has been removed."
        Call RemoveService
        MessageBox MB_ICONEXCLAMATION "The clock service could not be set up as it must be, so it has been removed ($ServiceFailed failed). Zelmora itself is installed; without the service only an administrator's Synchronize can set the clock." /SD IDOK
        SetErrorLevel 3
    ${EndIf}
SectionEnd
!endif

Section "-Leave out the clock service"
    !ifdef SERVICE_EXE
        ${IfNot} ${SectionIsSelected} ${SecService}
            Call RemoveService
        ${EndIf}
    !else
        Call RemoveService
    !endif
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "Zelmora itself."
    !ifdef SERVICE_EXE
        !insertmacro MUI_DESCRIPTION_TEXT ${SecService} "A small service that sets the clock for users who may not, from this build's https:// time page only (an http:// build has no service). Without it, only an administrator's Synchronize can set the clock."
    !endif
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Section "Uninstall"
    SetShellVarContext all
    Call un.EndRunningProgram
    Call un.RemoveService

    ; Only this installation's autorun entry goes (an empty one starts nothing and goes too);
    ; another copy's stays. The per-user settings stay.
    Call un.ReadRunPath
    ${IfNot} ${Errors}
        Push $INSTDIR
        Call un.RunPathIsIn
        Pop $0
        ${If} $0 = 1
        ${OrIf} $RunPath == ""
            DeleteRegValue HKLM "${RUN_KEY}" "${RUN_VALUE}"
        ${EndIf}
    ${EndIf}

    Delete "$INSTDIR\Zelmora.exe"
    Delete "$INSTDIR\readme.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\Zelmora.lnk"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
