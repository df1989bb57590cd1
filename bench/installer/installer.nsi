; The comparison installer: extracts the same payload archive and setup
; program, runs the setup program, waits for it and removes its folder.
Unicode true
Target amd64-unicode
SetCompress off
SilentInstall silent
RequestExecutionLevel user
OutFile "${OUT}"
Name "bench"

Section
  SetOutPath "$TEMP\nsis_bench"
  File "/oname=HALVEX.PACKED.7Z" "${PAYLOAD}"
  File "/oname=setup.exe" "${SETUP}"
  ; Out of the folder before the setup program starts, so that it does not
  ; inherit it as its current directory (bootpack's setup does not either).
  SetOutPath "$TEMP"
  ExecWait '"$TEMP\nsis_bench\setup.exe" --install-archive="$TEMP\nsis_bench\HALVEX.PACKED.7Z"' $0
  RMDir /r "$TEMP\nsis_bench"
  SetErrorLevel $0
SectionEnd
