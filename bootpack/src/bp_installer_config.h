// The configuration of one run: resource, registry, command line, environment.
#pragma once

#include <windows.h>

#include "bp_text.h"

namespace bootpack {

struct InstallerConfig {
  wchar_t** argv = nullptr;  // from CommandLineToArgvW, released with LocalFree
  int argc = 0;
  const wchar_t* command_line = nullptr;  // raw, forwarded to setup
  bool is_system_level = false;
  bool nothing_to_do = false;
  bool delete_extracted_files = true;
  const wchar_t* previous_version = nullptr;  // points into our own resource
  bool is_silent = false;
  bool is_portable = false;
  const wchar_t* install_path = nullptr;
  bool skip_plug_extraction = false;
  // Before the run: a plug description file named on the command line (build
  // mode). During the install: the work directory's plugs.ini, once written
  // into plugs_ini_storage.
  const wchar_t* plugs_ini_path = nullptr;
  PathBuffer plugs_ini_storage = {};

  InstallerConfig() = default;
  ~InstallerConfig() { Clear(); }
  InstallerConfig(const InstallerConfig&) = delete;
  InstallerConfig& operator=(const InstallerConfig&) = delete;

  // Resets the record, reads the previous-version resource and the cleanup
  // switch, then parses the command line. False only when the command line
  // cannot be split.
  bool Initialize(HMODULE module, const wchar_t* raw_command_line);
  bool Initialize(HMODULE module) { return Initialize(module, GetCommandLineW()); }
  bool ParseCommandLine(const wchar_t* raw_command_line);
  void Clear();
};

// The previous-version text carried as RCDATA 1: used only when the resource
// is non-empty, of even size and ends with a NUL unit.
const wchar_t* FindPreviousVersion(HMODULE module);

}  // namespace bootpack
