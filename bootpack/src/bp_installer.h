// The run of the installer.
#pragma once

#include <windows.h>

#include "bp_exit_code.h"

namespace bootpack {

// The whole run for our own module; the process exits with the result.
ExitResult RunInstaller(HMODULE module);

// The same run for a given raw command line (null: not splittable).
ExitResult RunInstaller(HMODULE module, const wchar_t* raw_command_line);

}  // namespace bootpack
