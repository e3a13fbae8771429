; A real installer made with the NSIS compiler, for the install-run tests. With /S it installs
; silently: it waits DELAY_MS, writes "installed.txt" into its folder under Program Files and an
; Uninstall entry (with DisplayVersion VERSION, 2.4.1 unless given), and exits with EXIT_CODE.
; With LEAVE_RUNNING defined it starts a program from the system folder as it ends, as many
; installers start the program they installed, and leaves it running for a minute.
;   makensis -DTARGET=amd64-unicode -DNAME=RealApp -DEXIT_CODE=0 -DDELAY_MS=0 -DOUT=realapp-setup.exe realapp.nsi
Unicode true
Target ${TARGET}
SetCompressor zlib
RequestExecutionLevel admin
Name "${NAME}"
OutFile "${OUT}"
InstallDir "$PROGRAMFILES\${NAME}"

!ifndef VERSION
  !define VERSION "2.4.1"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${NAME}"

Section
  Sleep ${DELAY_MS}
  SetOutPath "$INSTDIR"
  FileOpen $0 "$INSTDIR\installed.txt" w
  FileWrite $0 "${NAME}$\r$\n"
  FileClose $0
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /S'
!ifdef LEAVE_RUNNING
  Exec '"$SYSDIR\ping.exe" -n 60 127.0.0.1'
!endif
  SetErrorLevel ${EXIT_CODE}
SectionEnd

Section Uninstall
  Delete "$INSTDIR\installed.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
