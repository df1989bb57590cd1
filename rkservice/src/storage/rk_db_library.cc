#include "storage/rk_db_library.h"

#include <string>
#include <system_error>

#include "platform/rk_platform.h"
#include "rk_logger.h"

namespace rkservice {

RkDbLibrary::~RkDbLibrary() = default;

RkDbLibrary* RkDbLibrary::CreateInstance() {
  // Never destroyed: stores owned by other static objects may still release
  // their database objects while the library unloads.
  static std::once_flag once;
  static RkDbLibrary* instance = nullptr;
  std::call_once(once, [] { instance = new RkDbLibrary(); });
  return instance;
}

std::filesystem::path RkDbLibrary::LibraryPath() {
  const std::filesystem::path folder = platform::ServiceLibraryDir();
  // A relative name would be resolved against the current folder.
  if (!folder.is_absolute()) return std::filesystem::path(kRkDbLibraryName);
  return folder / kRkDbLibraryName;
}

bool RkDbLibrary::Load() {
  std::lock_guard<std::mutex> lock(load_mutex_);
  if (loaded_.load(std::memory_order_acquire)) return true;

  const std::filesystem::path path = LibraryPath();
  std::error_code ec;
  if (!path.is_absolute() || !std::filesystem::exists(path, ec)) {
    RkLogError("{0} not exists", path.string());
    return false;
  }
  std::string error;
  void* module = platform::LoadNativeLibrary(path, &error);
  if (module == nullptr) {
    RkLogError("can not load library:{0}, with error {1}", path.string(), error);
    return false;
  }
  auto create = reinterpret_cast<rkdb::RkDbCreateFn>(platform::GetFunctionPointer(module, rkdb::kRkDbCreateName));
  auto destroy = reinterpret_cast<rkdb::RkDbDeleteFn>(platform::GetFunctionPointer(module, rkdb::kRkDbDeleteName));
  if (create == nullptr || destroy == nullptr) {
    RkLogError("get function from rkdb.dll error");
    return false;
  }
  record_ = new Record{module, create, destroy};
  loaded_.store(true, std::memory_order_release);
  return true;
}

bool RkDbLibrary::EnsureLoaded() { return loaded_.load(std::memory_order_acquire) || Load(); }

bool RkDbLibrary::CreateDb(rkdb::RkDbObject** db) {
  if (!EnsureLoaded()) return false;
  return record_->create(db);
}

void RkDbLibrary::DeleteDb(rkdb::RkDbObject** db) {
  if (!EnsureLoaded()) return;
  record_->destroy(db);
}

}  // namespace rkservice
