// The few operating-system services the library needs, in one place: debugger
// output, message boxes, the OS version, run-time library loading and the
// folder of the service library itself.
#ifndef RKSERVICE_SRC_PLATFORM_RK_PLATFORM_H_
#define RKSERVICE_SRC_PLATFORM_RK_PLATFORM_H_

#include <filesystem>
#include <string>

namespace rkservice {
namespace platform {

// Texts meant for a debugger; nothing reads them. They go to standard error.
void DebugOutput(const std::string& text);

// A modal message box has no place in a Linux library: the text goes to
// standard error and the call returns at once.
void ShowMessageBox(const std::string& text, const std::string& caption);

struct OsVersion {
  unsigned long major = 0;
  unsigned long minor = 0;
  unsigned long build = 0;
};
// Kernel release numbers from uname ("6.1.0-28-amd64" gives 6, 1, 0).
OsVersion GetOsVersion();

// Loads a shared library by path; null with the loader's error text on failure.
// Libraries are never unloaded.
void* LoadNativeLibrary(const std::filesystem::path& path, std::string* error);
// Null when the library lacks the name; then `error`, when given, gets the
// loader's error text.
void* GetFunctionPointer(void* library, const char* name, std::string* error = nullptr);

// The folder that holds the service library (not the process's current folder).
std::filesystem::path ServiceLibraryDir();

// The kernel's id of the calling thread.
unsigned long CurrentThreadId();

// The user's interface language as a locale name ("zh-CN", "en-US"), from
// LC_ALL, LC_MESSAGES or LANG in that order; empty when none names one.
std::string UiLocaleName();

}  // namespace platform
}  // namespace rkservice

#endif  // RKSERVICE_SRC_PLATFORM_RK_PLATFORM_H_
