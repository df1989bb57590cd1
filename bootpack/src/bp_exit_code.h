// Exit codes of the installer and the result every step returns.
#pragma once

#include <stdint.h>

namespace bootpack {

// The complete set of codes the installer itself produces; any other value is
// the exit code of a program it ran, passed through unchanged.
enum ExitCode : uint32_t {
  kSuccess = 0,
  kCommandLineUnparsable = 101,
  kCommandLineTooLong = 105,
  kSetupWaitFailed = 107,
  kPathTooLong = 108,
  kWorkDirUnavailable = 109,
  kPreviousSetupKeyUnreadable = 110,
  kPreviousSetupVersionMismatch = 111,
  kPayloadExtractFailed = 112,
  kSetupExpandFailed = 115,
  kSetupResourceMissing = 116,
  kWorkDirSecurityFailed = 117,
  kNothingToDo = 118,
  kPatchSetupNotFound = 119,
  kPatchSetupPathNotFound = 120,
  kPatchSetupStartFailed = 121,
  kSetupNotFound = 122,
  kSetupPathNotFound = 123,
  kSetupStartFailed = 124,
};

// 0 means the step succeeded and the run goes on; anything else ends it.
struct ExitResult {
  uint32_t exit_code = kSuccess;

  bool ok() const { return exit_code == kSuccess; }
};

}  // namespace bootpack
