#include "bp_installer.h"

#include "bp_installer_config.h"
#include "bp_payload.h"
#include "bp_plugs.h"
#include "bp_setup_launch.h"
#include "bp_work_dir.h"

namespace bootpack {

ExitResult RunInstaller(HMODULE module) { return RunInstaller(module, GetCommandLineW()); }

ExitResult RunInstaller(HMODULE module, const wchar_t* raw_command_line) {
  ExitResult result;
  InstallerConfig config;
  if (!config.Initialize(module, raw_command_line)) {
    result.exit_code = kCommandLineUnparsable;
    return result;
  }
  if (config.nothing_to_do) {
    result.exit_code = kNothingToDo;
    return result;
  }
  if (config.plugs_ini_path != nullptr) {
    BuildPluggedInstaller(config, module);
    return ExitResult();
  }

  PathBuffer work_dir;
  if (!CreateWorkDir(module, work_dir, &result)) return result;

  PathBuffer archive_path;
  PathBuffer setup_path;
  result = ExtractPayload(config, module, work_dir, archive_path, setup_path);
  if (result.ok() && !config.skip_plug_extraction) ExtractPlugs(&config, module, work_dir);
  SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1),
                           static_cast<SIZE_T>(-1));
  if (result.ok()) result = RunSetup(config, archive_path, setup_path);

  if (config.delete_extracted_files) {
    DeleteExtractedPlugs(config);
    DeleteExtractedFiles(archive_path, setup_path, work_dir);
  }
  return result;
}

}  // namespace bootpack
