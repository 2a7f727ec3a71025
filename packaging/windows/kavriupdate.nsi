; The kavriUpdate installer: the programs and what they load, a Start-menu
; entry, and an uninstaller that Windows lists under installed apps.
; scripts/windows passes VERSION, DIST (the folder to install), ICON and OUTFILE.
Unicode true
!include "MUI2.nsh"
!include "x64.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kavriUpdate"

Name "kavriUpdate ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\kavriUpdate"
RequestExecutionLevel admin
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"

!insertmacro MUI_PAGE_LICENSE "${DIST}/LICENSE"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Function un.onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "kavriUpdate"
    SetOutPath "$INSTDIR"
    File /r "${DIST}/*"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    CreateDirectory "$SMPROGRAMS\kavriUpdate"
    CreateShortcut "$SMPROGRAMS\kavriUpdate\kavriUpdate.lnk" "$INSTDIR\kavriUpdate.exe"
    CreateShortcut "$SMPROGRAMS\kavriUpdate\Uninstall kavriUpdate.lnk" "$INSTDIR\Uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "kavriUpdate"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kavriUpdate.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    Delete "$SMPROGRAMS\kavriUpdate\kavriUpdate.lnk"
    Delete "$SMPROGRAMS\kavriUpdate\Uninstall kavriUpdate.lnk"
    RMDir "$SMPROGRAMS\kavriUpdate"
    RMDir /r "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
