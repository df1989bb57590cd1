#include "handlers/rk_halvex_library.h"

#include <string>

#include "platform/rk_platform.h"
#include "rk_logger.h"

namespace rkservice {

std::filesystem::path RkHalvexLibrary::LibraryPath() {
  const std::filesystem::path folder = platform::ServiceLibraryDir();
  // A relative name would be resolved through the loader's search order.
  if (!folder.is_absolute()) return {};
  return folder / kHalvexLibraryName;
}

rkhalvex::RkGetRestServiceFn RkHalvexLibrary::GetRestService(LoadFailure report) {
  const std::filesystem::path path = LibraryPath();
  std::string error;
  void* module = path.empty() ? nullptr : platform::LoadNativeLibrary(path, &error);
  if (module == nullptr) {
    if (report == LoadFailure::kLogged) {
      RkLogError("can not load library :{0}", path.empty() ? std::string(kHalvexLibraryName) : path.string());
    }
    return nullptr;
  }
  return reinterpret_cast<rkhalvex::RkGetRestServiceFn>(
      platform::GetFunctionPointer(module, rkhalvex::kRkGetRestServiceName));
}

}  // namespace rkservice
