// Process entry of bootpack.exe: no C runtime, so no main().
#include <windows.h>

#include "bp_installer.h"

extern "C" void WINAPI ProcessEntry() {
  ExitProcess(bootpack::RunInstaller(GetModuleHandleW(nullptr)).exit_code);
}
