; @brief The Windows installer: a per-user install (the self-update must be able to write the
; program folder), a Start-menu entry, and an uninstaller that removes exactly what was installed
; and leaves the operator's data files and settings alone.
; Made by scripts/windows.sh: makensis -DVERSION=x.y.z -DDIST=<dist folder> -DOUTFILE=<setup.exe>
; DIST holds install-files.nsh and uninstall-files.nsh, made from the staged folder.
; A 64-bit installer for a 64-bit program; it also runs where no 32-bit layer is installed.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!define APP "Tallyscope"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tallyscope"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${APP}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetShellVarContext current
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Tallyscope"
  SetOverwrite on
  !include "${DIST}\install-files.nsh"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortCut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\tallyscope.exe" "" "$INSTDIR\tallyscope.exe" 0
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APP}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Quorvel"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tallyscope.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  !include "${DIST}\uninstall-files.nsh"
  ; What a self-update leaves in the program folder: the downloaded program, the changeover
  ; program, its log and the previous program it keeps until the new one has started.
  Delete "$INSTDIR\Downloaded Update"
  Delete "$INSTDIR\tallyscope-updater.exe"
  Delete "$INSTDIR\tallyscope-updater.log"
  Delete "$INSTDIR\tallyscope.exe.old"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${APP}.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ; Not HKCU\Software\Quorvel: the operator's settings outlive the program, as do the data files,
  ; which never live in the program folder.
SectionEnd
