; The kavriUpdate installer: the programs and what they load, a Start-menu
; entry, kavri-flash on the user's PATH (a component the user can leave out,
; or /NOPATH on the command line), and an uninstaller that Windows lists under
; installed apps and that removes what the installer wrote and nothing else.
; scripts/windows passes VERSION, DIST (the folder to install), FILES (the
; File and Delete lines for each file of DIST), ICON and OUTFILE, and SIGN (a
; command signing the uninstaller) when the programs are signed.
Unicode true
!include "MUI2.nsh"
!include "x64.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "StrFunc.nsh"
!include "WinMessages.nsh"
!include "${FILES}"

${StrRep}
${UnStrRep}

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kavriUpdate"
!define USER_ENVIRONMENT "Environment"

Name "kavriUpdate ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\kavriUpdate"
RequestExecutionLevel admin
!ifdef SIGN
    !uninstfinalize '${SIGN} "%1"'
!endif
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\kavriUpdate.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start kavriUpdate"

!insertmacro MUI_PAGE_LICENSE "${DIST}/LICENSE"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Windows refuses to open a running program's file for writing: a program of
; the folder that cannot be opened so is running, and replacing or removing
; the folder's files now would leave a mix of two versions or a half-removed
; folder behind. The user is asked to close it; a silent run gives up (exit 2).
!macro WAIT_FOR_PROGRAMS_CLOSED un
Function ${un}IsRunning ; $0: a program's file; $1: "yes" when it runs
    StrCpy $1 ""
    ${If} ${FileExists} "$0"
        ClearErrors
        FileOpen $2 "$0" a
        ${If} ${Errors}
            StrCpy $1 "yes"
        ${Else}
            FileClose $2
        ${EndIf}
    ${EndIf}
FunctionEnd

Function ${un}WaitForProgramsClosed
    ${Do}
        StrCpy $0 "$INSTDIR\kavriUpdate.exe"
        Call ${un}IsRunning
        ${If} $1 == ""
            StrCpy $0 "$INSTDIR\kavri-flash.exe"
            Call ${un}IsRunning
        ${EndIf}
        ${If} $1 == ""
            Return
        ${EndIf}
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
            "$0 is running.$\r$\nClose it, then press Retry." /SD IDCANCEL IDRETRY retry
        SetErrorLevel 2
        Quit
        retry:
    ${Loop}
FunctionEnd
!macroend
!insertmacro WAIT_FOR_PROGRAMS_CLOSED ""
!insertmacro WAIT_FOR_PROGRAMS_CLOSED "un."

; $0: the user's PATH less every entry naming the install folder.
!macro PATH_WITHOUT_INSTDIR un replace
Function ${un}PathWithoutInstdir
    ReadRegStr $0 HKCU "${USER_ENVIRONMENT}" "Path"
    ${${replace}} $0 ";$0;" ";$INSTDIR;" ";"
    ${${replace}} $0 "$0" ";$INSTDIR;" ";" ; an entry twice in a row
    StrCpy $0 "$0" "" 1
    StrCpy $0 "$0" -1
FunctionEnd
!macroend
!insertmacro PATH_WITHOUT_INSTDIR "" StrRep
!insertmacro PATH_WITHOUT_INSTDIR "un." UnStrRep

Function un.onInit
    SetRegView 64
    SetShellVarContext all
    Call un.WaitForProgramsClosed
FunctionEnd

Section "kavriUpdate" SectionProgram
    SectionIn RO
    Call WaitForProgramsClosed
    !insertmacro INSTALL_FILES
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    CreateDirectory "$SMPROGRAMS\kavriUpdate"
    CreateShortcut "$SMPROGRAMS\kavriUpdate\kavriUpdate.lnk" "$INSTDIR\kavriUpdate.exe"
    CreateShortcut "$SMPROGRAMS\kavriUpdate\Uninstall kavriUpdate.lnk" "$INSTDIR\Uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "kavriUpdate"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "kavriUpdate"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kavriUpdate.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; New command prompts find kavri-flash; open ones keep the PATH they had.
Section "kavri-flash on the PATH" SectionPath
    Call PathWithoutInstdir
    ${If} $0 == ""
        StrCpy $0 "$INSTDIR"
    ${Else}
        StrCpy $0 "$0;$INSTDIR"
    ${EndIf}
    WriteRegExpandStr HKCU "${USER_ENVIRONMENT}" "Path" "$0"
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:${USER_ENVIRONMENT}" /TIMEOUT=1000
SectionEnd

; Sections are named only once defined.
Function .onInit
    SetRegView 64
    SetShellVarContext all
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/NOPATH" $1
    ${IfNot} ${Errors}
        !insertmacro UnselectSection ${SectionPath}
    ${EndIf}
FunctionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${SectionProgram} "The dialog, kavri-flash and what they load."
    !insertmacro MUI_DESCRIPTION_TEXT ${SectionPath} "Adds the folder to your PATH, so that kavri-flash runs from any command prompt."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; Only what the installer wrote: a file the user put in the folder stays, and
; so does the folder then.
Section "Uninstall"
    Delete "$SMPROGRAMS\kavriUpdate\kavriUpdate.lnk"
    Delete "$SMPROGRAMS\kavriUpdate\Uninstall kavriUpdate.lnk"
    RMDir "$SMPROGRAMS\kavriUpdate"
    !insertmacro UNINSTALL_FILES
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
    Call un.PathWithoutInstdir
    ${If} $0 == ""
        DeleteRegValue HKCU "${USER_ENVIRONMENT}" "Path"
    ${Else}
        WriteRegExpandStr HKCU "${USER_ENVIRONMENT}" "Path" "$0"
    ${EndIf}
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:${USER_ENVIRONMENT}" /TIMEOUT=1000
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
