#include "bp_plugs.h"

// Plug packing and extraction read and write the program's own image; until
// that image editor exists the installer carries no plugs: build mode writes
// nothing and an install extracts nothing.

namespace bootpack {

ExitResult BuildPluggedInstaller(const InstallerConfig& /*config*/, HMODULE /*module*/) {
  return ExitResult();
}

void ExtractPlugs(InstallerConfig* /*config*/, HMODULE /*module*/, const wchar_t* /*work_dir*/) {}

void DeleteExtractedPlugs(const InstallerConfig& /*config*/) {}

}  // namespace bootpack
