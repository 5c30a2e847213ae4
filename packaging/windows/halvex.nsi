; The Windows setup of Halvex (scripts/package-windows runs makensis on it). It installs into
; Program Files with administrator rights, or the folder chosen (/D=), and remembers that folder,
; so that an upgrade or a reinstall replaces the installed copy wherever it is. It adds a
; Start-menu entry and one entry among the installed programs; its uninstaller removes exactly
; what it put there. Neither changes anything while a move of the Oculus folders waits to be
; finished or put back, nor while Halvex runs.
; Defines from scripts/package-windows: VERSION (major.minor.patch), STAGE (the staged files),
; FILES (an include that installs them), UNFILES (one that removes them), ICON, OUTFILE, and
; SIGN (a command that signs the file named by %1 in place).
;
; Exit codes (README.md lists them too): 0 done; 1 cancelled; 2 stopped by an error; 3 a move is
; pending; 4 Halvex is still running; 5 another Halvex setup runs.
; Silent options: /S, /WAIT=SECONDS (how long to wait for Halvex to close, 60 by default),
; /D=FOLDER (last, as NSIS wants it).
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS {8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Halvex"
!define PUBLISHER "The Halvex authors"
; The window's single-instance mutex, held by halvex.exe and halvex-move.exe while they run.
!define INSTANCE_MUTEX "Varko_Oculus_Kestrum"
; The mutex Halvex looks for at start-up and refuses to start beside: held while setup runs.
!define SETUP_MUTEX "Varko Dravune"
!define EXIT_PENDING 3
!define EXIT_RUNNING 4
!define EXIT_SETUP_RUNS 5

Name "Halvex ${VERSION}"
Caption "Halvex ${VERSION} Setup"
UninstallCaption "Halvex ${VERSION} Uninstall"
BrandingText "Halvex ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Halvex"
; Where the last setup put it, the first one included: its entry names the folder.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show
AllowSkipFiles off

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "Halvex"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "Halvex ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2026 The Halvex authors. GNU GPL version 3 or later."

!finalize '${SIGN} "%1"'
!uninstfinalize '${SIGN} "%1"'

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

; The GPL asks no one to agree to anything in order to use the program: it is shown to read.
!define MUI_PAGE_HEADER_TEXT "Licence"
!define MUI_PAGE_HEADER_SUBTEXT "The terms under which Halvex is free software, for you to read."
!define MUI_LICENSEPAGE_TEXT_TOP "Halvex is free software. Nothing here needs your agreement."
!define MUI_LICENSEPAGE_TEXT_BOTTOM "The GNU General Public License gives you the right to use, study, share and change Halvex. Press Next to go on."
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start Halvex"
!define MUI_FINISHPAGE_RUN_FUNCTION StartHalvex
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

Var waitSeconds
Var setupMutex

; The program starts in its folder, where it writes its log, as the Start-menu entry starts it.
; The installation is done: the setup lets go of the mutex that keeps Halvex from starting.
Function StartHalvex
  System::Call 'kernel32::CloseHandle(p $setupMutex)'
  SetOutPath "$INSTDIR"
  Exec '"$INSTDIR\halvex.exe"'
FunctionEnd

; Refuses while another setup runs, then holds the mutex that keeps Halvex from starting until
; this setup ends (the system closes it at exit).
!macro HoldSetupMutex
  System::Call 'kernel32::CreateMutexW(p 0, i 0, w "${SETUP_MUTEX}") p .r0 ?e'
  Pop $1
  StrCpy $setupMutex $0
  ${If} $1 = 183
    MessageBox MB_OK|MB_ICONSTOP "Another Halvex setup is running. Let it finish, then try again." /SD IDOK
    SetErrorLevel ${EXIT_SETUP_RUNS}
    Quit
  ${EndIf}
!macroend

; A move of the Oculus folders that was stopped keeps its journal in %ProgramData%\Halvex until
; it is finished or put back. Replacing or removing Halvex meanwhile would leave the platform
; without its games and no program at hand that puts them back.
!macro RefusePendingMove WHAT
  SetShellVarContext all
  ${If} ${FileExists} "$APPDATA\Halvex\move.journal"
  ${OrIf} ${FileExists} "$APPDATA\Halvex\move.journal.tmp"
    MessageBox MB_OK|MB_ICONSTOP "A move of the Oculus folders was stopped before it was done, so the Oculus platform cannot find its games yet. ${WHAT}$\r$\n$\r$\nStart Halvex and choose $\"Finish the move$\" or $\"Put back$\" (or run halvex-move --recover), then run this again. Its record is in $APPDATA\Halvex." /SD IDOK
    SetErrorLevel ${EXIT_PENDING}
    Quit
  ${EndIf}
!macroend

; Halvex (the window or halvex-move) holds its mutex while it runs: asks the user to close it,
; or, silently, waits up to /WAIT= seconds for it to end.
!macro WaitForHalvexToClose
  ${GetParameters} $2
  ${GetOptions} $2 "/WAIT=" $waitSeconds
  ${IfNot} $waitSeconds > 0
    StrCpy $waitSeconds 60
  ${EndIf}
  IntOp $3 $waitSeconds * 4
  ${Do}
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${INSTANCE_MUTEX}") p .r4'
    ${If} $4 P= 0
      ${Break}
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r4)'
    ${If} ${Silent}
      ${If} $3 <= 0
        SetErrorLevel ${EXIT_RUNNING}
        Quit
      ${EndIf}
      IntOp $3 $3 - 1
      Sleep 250
    ${Else}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Halvex is running. Close it (the window, or halvex-move in a command prompt), then press Retry." IDRETRY halvex_closed_retry
      SetErrorLevel ${EXIT_RUNNING}
      Quit
      halvex_closed_retry:
    ${EndIf}
  ${Loop}
!macroend

Function .onInit
  SetRegView 64
  !insertmacro HoldSetupMutex
  !insertmacro RefusePendingMove "Setup changes nothing until then."
  !insertmacro WaitForHalvexToClose
FunctionEnd

Function un.onInit
  SetRegView 64
  ; Run by a setup that replaces this copy with one in another folder: that setup holds the
  ; mutex, and has made the checks below already; they are made again, as they are cheap.
  ${GetParameters} $2
  ClearErrors
  ${GetOptions} $2 "/FROMSETUP" $3
  ${If} ${Errors}
    !insertmacro HoldSetupMutex
  ${EndIf}
  !insertmacro RefusePendingMove "Uninstalling now would leave it so, without Halvex to put it back."
  !insertmacro WaitForHalvexToClose
FunctionEnd

Section "Halvex"
  SetShellVarContext all
  ; A copy installed in another folder (a new /D=) goes first: one copy, one entry.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} $0 != $INSTDIR
  ${AndIf} ${FileExists} "$0\Uninstall.exe"
    DetailPrint "Removing the copy in $0"
    ExecWait '"$0\Uninstall.exe" /S /FROMSETUP _?=$0' $1
    ${If} $1 = 0
      Delete "$0\Uninstall.exe"
      RMDir "$0"
    ${Else}
      DetailPrint "The copy in $0 stays: its uninstaller ended with $1"
    ${EndIf}
  ${EndIf}
  SetOverwrite on
  !include "${FILES}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ; The shortcut starts the program in its folder, where it writes its log.
  SetOutPath "$INSTDIR"
  CreateShortcut "$SMPROGRAMS\Halvex.lnk" "$INSTDIR\halvex.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Halvex"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\halvex.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  IntFmt $1 "0x%08X" $1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  !include "${UNFILES}"
  Delete "$INSTDIR\Uninstall.exe"
  Delete "$SMPROGRAMS\Halvex.lnk"
  ; The log the program wrote when started from the Start menu.
  RMDir /r "$INSTDIR\log"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; Only when empty: whatever else someone put in the folder stays.
  RMDir "$INSTDIR"
  ; Halvex's state folder goes when nothing is left in it; the record of a finished move
  ; (moved.record), which tells a later Halvex on which drive the games are, keeps it.
  RMDir "$APPDATA\Halvex"
SectionEnd
