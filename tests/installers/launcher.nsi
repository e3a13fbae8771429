; A launcher, as many wrapped installers are: it extracts the real installer (CHILD), starts it
; with /S and exits at once, without waiting for it.
;   makensis -DTARGET=amd64-unicode -DCHILD=realchild-setup.exe -DOUT=launcher-setup.exe launcher.nsi
Unicode true
Target ${TARGET}
SetCompressor zlib
RequestExecutionLevel admin
Name "Launcher"
OutFile "${OUT}"
SilentInstall silent

Section
  InitPluginsDir
  SetOutPath "$TEMP"
  File "/oname=$TEMP\realchild-setup.exe" "${CHILD}"
  Exec '"$TEMP\realchild-setup.exe" /S'
SectionEnd
