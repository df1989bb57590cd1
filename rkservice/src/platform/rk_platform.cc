#include "platform/rk_platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/rk_exit_close.h"
#include "rk_logger.h"

namespace rkservice {
namespace platform {

void DebugOutput(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
}

void ShowMessageBox(const std::string& text, const std::string& caption) {
  RkLogError("[{0}] {1}", caption, text);
  std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
}

OsVersion GetOsVersion() {
  OsVersion version;
  struct utsname names;
  if (uname(&names) != 0) return version;
  const char* p = names.release;
  char* end = nullptr;
  unsigned long* parts[] = {&version.major, &version.minor, &version.build};
  for (unsigned long* part : parts) {
    *part = std::strtoul(p, &end, 10);
    if (end == p || *end != '.') break;
    p = end + 1;
  }
  return version;
}

long CurrentThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

void* LoadNativeLibrary(const std::filesystem::path& path, std::string* error) {
  dlerror();
  void* loaded = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (loaded != nullptr) return loaded;
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    if (error != nullptr) {
      const char* text = dlerror();
      *error = text != nullptr ? text : "unknown error";
    }
    return nullptr;
  }
  // The library's statics were just made, their cleanup registered for exit:
  // the service's close must run before it.
  RkExitClose::Renew();
  return library;
}

void* GetFunctionPointer(void* library, const char* name, std::string* error) {
  if (library == nullptr) return nullptr;
  dlerror();
  void* function = dlsym(library, name);
  if (function == nullptr && error != nullptr) {
    const char* text = dlerror();
    *error = text != nullptr ? text : "no such symbol";
  }
  return function;
}

DescriptorUse CurrentDescriptorUse() {
  DescriptorUse use;
  struct rlimit limit;
  use.limit = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                  ? static_cast<size_t>(limit.rlim_cur)
                  : SIZE_MAX;
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) {
    use.count_error = errno != 0 ? errno : EIO;
    return use;
  }
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') ++use.open;
  }
  closedir(folder);
  // The listing's own descriptor is counted too; it is closed again now.
  if (use.open > 0) --use.open;
  return use;
}

std::filesystem::path ServiceLibraryDir() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&ServiceLibraryDir), &info) == 0 || info.dli_fname == nullptr) return {};
  std::error_code ec;
  std::filesystem::path file = std::filesystem::canonical(info.dli_fname, ec);
  if (ec) file = info.dli_fname;
  return file.parent_path();
}

std::string UserLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return LocaleNameFromPosix(value);
  }
  return LocaleNameFromPosix("");
}

std::string LocaleNameFromPosix(const std::string& posix_name) {
  // language[_territory][.codeset][@modifier]
  std::string name = posix_name.substr(0, posix_name.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX") return "en-US";
  for (char& c : name) {
    if (c == '_') c = '-';
  }
  return name;
}

ScopedUtf8Locale::ScopedUtf8Locale() : utf8_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {
  if (utf8_ != static_cast<locale_t>(0)) previous_ = uselocale(utf8_);
}

ScopedUtf8Locale::~ScopedUtf8Locale() {
  if (utf8_ == static_cast<locale_t>(0)) return;
  uselocale(previous_);
  freelocale(utf8_);
}

}  // namespace platform
}  // namespace rkservice
