; Setup program for the 32-bit Zelmora.exe. Built by the i686 build (target "setup"):
;   makensis -DVERSION=<a.bb.dddd> -DVI_VERSION=<a.b.c.d> -DWINDOW_CLASS=ZelmoraMainWindow
;            -DRUN_VALUE=OrvaZelmora -DEXE=... -DREADME=... -DICON=... -DOUTFILE=... zelmora.nsi
; Silently: setup.exe /S [/D=folder, last and unquoted]; uninstall.exe /S.
; With -DAMD64 it sets up the 64-bit build instead, which stands in for the 32-bit one in
; the tests of machines that cannot run 32-bit code.

Unicode true
!ifdef AMD64
    Target amd64-unicode ; a 64-bit process: the registry's 64-bit view, as the program's
    !define PROGRAM_FILES "$PROGRAMFILES64"
!else
    !define PROGRAM_FILES "$PROGRAMFILES"
!endif
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

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelmora"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define ENDSESSION_LOGOFF 0x80000000
!define SYNCHRONIZE 0x00100000
!define WAIT_TIMEOUT 258
; How long the running program gets to answer each message, and then to end.
!define ANSWER_WAIT_MS 5000
!define END_WAIT_MS 10000

Name "Orva Zelmora"
OutFile "${OUTFILE}"
InstallDir "${PROGRAM_FILES}\Zelmora"
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
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION RunAsTheUser
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!define STILL_RUNNING "Zelmora is still running and did not end when asked to.$\r$\n$\r$\nLeave it with Exit in its tray icon's menu, then choose Retry."

!include StrFunc.nsh
${Using:StrFunc} StrStr

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

Function .onInit
    Call RequireAdmin
FunctionEnd

Function un.onInit
    Call un.RequireAdmin
FunctionEnd

; Installed before into another folder: that copy goes and its autorun entry moves here.
Function MoveEarlierInstallation
    ReadRegStr $5 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $5 == ""
        Return
    ${EndIf}
    ${If} $5 == $INSTDIR
        Return
    ${EndIf}
    GetFullPathName /SHORT $0 $5
    GetFullPathName /SHORT $1 $INSTDIR
    ${If} $0 != ""
    ${AndIf} $0 == $1
        Return
    ${EndIf}
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
    Delete "$5\readme.txt"
    Delete "$5\uninstall.exe"
    RMDir "$5"
FunctionEnd

Section "Zelmora"
    SetShellVarContext all
    Call EndRunningProgram
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

Section "Uninstall"
    SetShellVarContext all
    Call un.EndRunningProgram

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
