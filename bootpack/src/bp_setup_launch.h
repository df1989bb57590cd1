// Command lines for the setup program and the installed setup, running them,
// and deleting what the run extracted.
#pragma once

#include <windows.h>

#include "bp_exit_code.h"
#include "bp_installer_config.h"
#include "bp_text.h"

namespace bootpack {

constexpr int kDeleteAttempts = 100;
constexpr DWORD kDeleteRetryDelayMs = 100;

// Appends the process's own arguments (everything after the program name in
// the raw command line). Text that does not fit is left out whole; never fails.
void AppendForwardedArguments(wchar_t (&command)[kCommandLineCapacity], const wchar_t* raw);

// "<setup>" --install-archive="<archive>" [--previous-version="<v>"]
// [--plugs-config-path="<ini>"] <forwarded>; 105 when a piece does not fit.
ExitResult BuildSetupCommandLine(const InstallerConfig& config, const wchar_t* archive_path,
                                 const wchar_t* setup_path,
                                 wchar_t (&command)[kCommandLineCapacity]);

// "<installed>" --update-setup-exe="<patch>" --new-setup-exe="<target>"
// <forwarded>; 105 when a piece does not fit.
ExitResult BuildPatchCommandLine(const wchar_t* installed_setup, const wchar_t* patch_path,
                                 const wchar_t* target_path, const wchar_t* raw_command_line,
                                 wchar_t (&command)[kCommandLineCapacity]);

ExitResult RunSetup(const InstallerConfig& config, const wchar_t* archive_path,
                    const wchar_t* setup_path);

// Starts the program with no window and waits for it. Start errors map to the
// three codes (file not found, path not found, other); the outcome is the
// program's exit code, or 107 when waiting fails.
ExitResult RunProcessAndWait(const wchar_t* program, wchar_t* command_line,
                             uint32_t not_found_code, uint32_t path_not_found_code,
                             uint32_t other_code);

// True when the file or (empty) directory is gone. Sharing violations and
// non-empty directories are retried every 100 ms up to max_attempts times; a
// read-only file is made writable first.
bool DeleteWithRetry(const wchar_t* path, int max_attempts = kDeleteAttempts);

void DeleteExtractedFiles(const wchar_t* archive_path, const wchar_t* setup_path,
                          const wchar_t* work_dir);

}  // namespace bootpack
