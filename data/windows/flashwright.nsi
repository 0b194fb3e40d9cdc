; The Windows setup program: Flashwright and flashwright-cli, their DLLs and
; Qt plugins in one folder below Program Files, two Start-menu entries (the
; wizard, and a command prompt that finds flashwright-cli) and an uninstaller,
; for every user of the machine (the settings live below HKEY_LOCAL_MACHINE).
; Neither the machine's nor the user's PATH is touched: the prompt's entry
; puts the program's folder on the PATH of that prompt only.
;
;   makensis -DSTAGE=<installed tree> -DVERSION=4.1.0 -DOUTFILE=<setup.exe> flashwright.nsi
;
; STAGE is what `cmake --install` of the Windows build puts in one folder.
Unicode true
; A 64-bit setup program for a 64-bit program (and Wine without its 32-bit half).
Target amd64-unicode

!ifndef STAGE
  !error "STAGE: the folder the Windows build was installed to"
!endif
!ifndef VERSION
  !define VERSION "0.0.0"
!endif
!ifndef OUTFILE
  !define OUTFILE "flashwright-setup.exe"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Flashwright"

Name "Flashwright ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Flashwright"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show

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

Section "Flashwright"
  SetOutPath "$INSTDIR"
  File "${STAGE}\flashwright.exe"
  File "${STAGE}\flashwright-cli.exe"
  File "${STAGE}\*.dll"
  SetOutPath "$INSTDIR\platforms"
  File "${STAGE}\platforms\qwindows.dll"
  SetOutPath "$INSTDIR\styles"
  File "${STAGE}\styles\qwindowsvistastyle.dll"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Flashwright.lnk" "$INSTDIR\flashwright.exe"
  ; cmd's /k runs the line and stays open; the quotes keep a folder with
  ; blanks whole. %PATH% is the prompt's own, read when it starts.
  CreateShortcut "$SMPROGRAMS\Flashwright Command Prompt.lnk" "$SYSDIR\cmd.exe" \
    '/k "set "PATH=$INSTDIR;%PATH%" && cd /d "%USERPROFILE%" && flashwright-cli --version"' \
    "$INSTDIR\flashwright.exe" 0
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Flashwright"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Tarnvel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\flashwright.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Only what setup put there is removed: a folder chosen by the user may hold
; other files. The settings stay for the next installation.
Section "Uninstall"
  Delete "$SMPROGRAMS\Flashwright.lnk"
  Delete "$SMPROGRAMS\Flashwright Command Prompt.lnk"
  Delete "$INSTDIR\platforms\qwindows.dll"
  RMDir "$INSTDIR\platforms"
  Delete "$INSTDIR\styles\qwindowsvistastyle.dll"
  RMDir "$INSTDIR\styles"
  Delete "$INSTDIR\flashwright.exe"
  Delete "$INSTDIR\flashwright-cli.exe"
  Delete "$INSTDIR\Qt6Core.dll"
  Delete "$INSTDIR\Qt6Gui.dll"
  Delete "$INSTDIR\Qt6Widgets.dll"
  Delete "$INSTDIR\Qt6Network.dll"
  Delete "$INSTDIR\libstdc++-6.dll"
  Delete "$INSTDIR\libgcc_s_seh-1.dll"
  Delete "$INSTDIR\libwinpthread-1.dll"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
