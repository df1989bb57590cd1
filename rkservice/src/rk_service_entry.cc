// The flat exports the browser calls. No exception leaves them; buffers they
// hand out come from malloc here and go back through FreeMemory.
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "rk_logger.h"
#include "rkservice.h"

using rkservice::RkServiceInfo;
using rkservice::RkServiceManager;

namespace {

// Copies the text without a NUL into a new buffer; false when it cannot be had.
bool HandOut(const std::string& text, char** out, int* len) {
  char* buffer = static_cast<char*>(std::malloc(text.empty() ? 1 : text.size()));
  if (buffer == nullptr) return false;
  std::memcpy(buffer, text.data(), text.size());
  *out = buffer;
  *len = static_cast<int>(text.size());
  return true;
}

// "Log Files" under the root, or the root itself when that folder cannot be had.
std::filesystem::path LogFolder(const std::filesystem::path& root) {
  const std::filesystem::path folder = root / "Log Files";
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec)) return folder;
  if (std::filesystem::exists(folder, ec)) return root;  // a file of that name
  std::filesystem::create_directories(folder, ec);
  return ec ? root : folder;
}

}  // namespace

extern "C" {

RK_EXPORT bool StartLogger(const char* file, int level) {
  if (file == nullptr) return false;
  try {
    return RkServiceManager::GetInstance()->StartLogger(file, static_cast<rkservice::RkLogLevel>(level));
  } catch (...) {
    return false;
  }
}

RK_EXPORT bool AddRkService(const RkServiceDesc* desc) {
  if (desc == nullptr || desc->name == nullptr || desc->port == nullptr || desc->root_path == nullptr ||
      desc->notify_host == nullptr) {
    return false;
  }
  try {
    RkServiceManager* manager = RkServiceManager::GetInstance();
    RkServiceInfo info;
    info.name = desc->name;
    info.port = desc->port;
    info.root_path = desc->root_path;
    info.local_only = desc->local_only != 0;
    info.notify_host = desc->notify_host;

    const std::filesystem::path root = std::filesystem::u8path(info.root_path);
    const std::filesystem::path log_file = LogFolder(root) / "rkservice.log";
    std::error_code ec;
    int level = rkservice::kRkLogWarning;
    if (std::filesystem::exists(root / "rklog.a", ec)) {
      manager->SetPrintAllLog(true);
      level = rkservice::kRkLogTrace;
    }
    StartLogger(log_file.u8string().c_str(), level);
    return manager->AddRkService(info);
  } catch (...) {
    return false;
  }
}

RK_EXPORT bool StartRkService(const char* name, char** out, int* len) {
  if (len != nullptr) *len = 0;
  if (name == nullptr || out == nullptr || len == nullptr) return false;
  try {
    RkServiceManager* manager = RkServiceManager::GetInstance();
    if (!manager->StartRkService(name)) return false;
    const std::string address = manager->GetServiceAddress(name);
    if (address.empty()) return false;
    return HandOut(address, out, len);
  } catch (...) {
    *len = 0;
    return false;
  }
}

RK_EXPORT void StopRkService(const char* name) {
  if (name == nullptr) return;
  try {
    RkServiceManager::GetInstance()->StopRkService(name);
  } catch (...) {
  }
}

RK_EXPORT void RemoveRkService(const char* name) {
  if (name == nullptr) return;
  try {
    RkServiceManager::GetInstance()->RemoveRkService(name);
  } catch (...) {
  }
}

RK_EXPORT void ReleaseRkService(void) {
  try {
    RkServiceManager::GetInstance()->RemoveAllService();
  } catch (...) {
  }
}

RK_EXPORT bool GetServiceAddress(const char* name, char** out, int* len) {
  if (name == nullptr) return false;
  try {
    RkServiceManager* manager = RkServiceManager::GetInstance();
    if (out == nullptr || len == nullptr) return false;
    const std::string address = manager->GetServiceAddress(name);
    if (address.empty()) return false;
    return HandOut(address, out, len);
  } catch (...) {
    return false;
  }
}

RK_EXPORT void GetServiceVersion(char** out) {
  try {
    RkServiceManager* manager = RkServiceManager::GetInstance();
    if (out == nullptr) return;
    const std::string version = manager->GetVersion();
    char* buffer = static_cast<char*>(std::malloc(version.size() + 1));
    if (buffer == nullptr) return;
    std::memcpy(buffer, version.c_str(), version.size() + 1);
    *out = buffer;
  } catch (...) {
  }
}

RK_EXPORT void FreeMemory(void** p) {
  if (p != nullptr) std::free(*p);
}

}  // extern "C"
