// The few operating-system services the library needs, in one place: debugger
// output, message boxes, the OS version, run-time library loading, the
// folder of the service library itself and the user's locale.
#ifndef RKSERVICE_SRC_PLATFORM_RK_PLATFORM_H_
#define RKSERVICE_SRC_PLATFORM_RK_PLATFORM_H_

#include <locale.h>

#include <cstddef>
#include <filesystem>
#include <string>

namespace rkservice {
namespace platform {

// Texts meant for a debugger; nothing reads them. They go to standard error.
void DebugOutput(const std::string& text);

// A modal message box has no place in a Linux library (it would hold the
// caller's locks until someone answers): the text is logged as an error and
// written to standard error, and the call returns at once.
void ShowMessageBox(const std::string& text, const std::string& caption);

struct OsVersion {
  unsigned long major = 0;
  unsigned long minor = 0;
  unsigned long build = 0;
};
// Kernel release numbers from uname ("6.1.0-28-amd64" gives 6, 1, 0).
OsVersion GetOsVersion();

// The calling thread's id as the system knows it (not std::thread::id).
long CurrentThreadId();

// Loads a shared library by path; null with the loader's error text on failure.
// Libraries are never unloaded.
void* LoadNativeLibrary(const std::filesystem::path& path, std::string* error);
// Null when the library lacks the name; then `error`, when given, gets the
// loader's error text.
void* GetFunctionPointer(void* library, const char* name, std::string* error = nullptr);

struct DescriptorUse {
  size_t open = 0;
  size_t limit = 0;  // the soft limit; SIZE_MAX when there is none
  // 0 when `open` is the count; else the error that kept it from being made
  // (EMFILE at the limit itself: the listing takes a descriptor too).
  int count_error = 0;
};
// The process's open file descriptors and its limit on them.
DescriptorUse CurrentDescriptorUse();

// The folder that holds the service library (not the process's current folder).
std::filesystem::path ServiceLibraryDir();

// The user's locale name in the "ll-CC" form: from LC_ALL, else LC_MESSAGES,
// else LANG (the first that is set and not empty).
std::string UserLocaleName();
// "zh_CN.UTF-8" gives "zh-CN"; an empty name, "C" and "POSIX" give "en-US".
std::string LocaleNameFromPosix(const std::string& posix_name);

// Switches the calling thread to a UTF-8 character locale while it lives, so
// that libraries that convert through the locale (libarchive's entry names)
// keep non-ASCII text whatever locale the host process runs in.
class ScopedUtf8Locale {
 public:
  ScopedUtf8Locale();
  ~ScopedUtf8Locale();
  ScopedUtf8Locale(const ScopedUtf8Locale&) = delete;
  ScopedUtf8Locale& operator=(const ScopedUtf8Locale&) = delete;

 private:
  locale_t utf8_;
  locale_t previous_ = nullptr;
};

}  // namespace platform
}  // namespace rkservice

#endif  // RKSERVICE_SRC_PLATFORM_RK_PLATFORM_H_
