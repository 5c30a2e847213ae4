; The setup script of Halvex 2.0, the last version before this one, as it shipped: the Windows
; tests install it first and upgrade from it (tests/winexe/run). Not used to package anything.
; The Windows setup of Halvex (scripts/package-windows runs makensis on it). It installs into
; Program Files with administrator rights, adds a Start-menu entry and an entry among the
; installed programs, and its uninstaller removes exactly what it put there.
; Defines from scripts/package-windows: VERSION, STAGE (the staged files), FILES (an include
; that installs them), UNFILES (one that removes them), ICON, OUTFILE.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Halvex"

Name "Halvex ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Halvex"
Icon "${ICON}"
UninstallIcon "${ICON}"
LicenseData "${STAGE}/LICENSE.txt"
ShowInstDetails show
ShowUninstDetails show

Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Section "Halvex"
  !include "${FILES}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ; The shortcut starts the program in its folder, where it writes its log.
  SetOutPath "$INSTDIR"
  CreateShortcut "$SMPROGRAMS\Halvex.lnk" "$INSTDIR\halvex.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Halvex"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Halvex"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\halvex.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  !include "${UNFILES}"
  Delete "$INSTDIR\Uninstall.exe"
  Delete "$SMPROGRAMS\Halvex.lnk"
  ; The log the program wrote when started from the Start menu.
  RMDir /r "$INSTDIR\log"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; Only when empty: whatever else someone put in the folder stays.
  RMDir "$INSTDIR"
SectionEnd
