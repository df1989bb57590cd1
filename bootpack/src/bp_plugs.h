// Plug-ins packed into the installer's own file as extra sections.
#pragma once

#include <windows.h>

#include "bp_exit_code.h"
#include "bp_installer_config.h"

namespace bootpack {

// Build mode: packs the plugs named by the description file in
// config.plugs_ini_path into a new copy of the program. Always 0.
ExitResult BuildPluggedInstaller(const InstallerConfig& config, HMODULE module);

// Extracts the packed plugs into the work directory and, when it writes a
// plugs.ini, points config->plugs_ini_path at it. Never fails the run.
void ExtractPlugs(InstallerConfig* config, HMODULE module, const wchar_t* work_dir);

// Deletes the plug files named in plugs.ini, then plugs.ini itself.
void DeleteExtractedPlugs(const InstallerConfig& config);

}  // namespace bootpack
