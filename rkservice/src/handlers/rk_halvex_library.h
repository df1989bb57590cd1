// Binds the browser's main library, loaded by full path from the service
// library's own folder (never by bare name: any folder on the search order
// could plant code), and holds one of its service objects.
#ifndef RKSERVICE_SRC_HANDLERS_RK_HALVEX_LIBRARY_H_
#define RKSERVICE_SRC_HANDLERS_RK_HALVEX_LIBRARY_H_

#include <filesystem>

#include "halvex/rk_halvex_interface.h"

namespace rkservice {

// The library's file name; the one place it is written.
inline constexpr char kHalvexLibraryName[] = "libhalvex.so";

class RkHalvexLibrary {
 public:
  // How a failure to load the library is reported.
  enum class LoadFailure { kLogged, kSilent };

  // The library's export, or null when the library cannot be loaded or lacks
  // it. Each call loads anew; the library is never unloaded.
  static rkhalvex::RkGetRestServiceFn GetRestService(LoadFailure report);
  static std::filesystem::path LibraryPath();
};

// One acquired service object of the library, released when the holder goes.
template <typename Service>
class RkHalvexService {
 public:
  // Null when the library cannot be bound or refuses the name.
  RkHalvexService(const char* name, RkHalvexLibrary::LoadFailure report) {
    const rkhalvex::RkGetRestServiceFn get = RkHalvexLibrary::GetRestService(report);
    void* object = nullptr;
    if (get == nullptr || !get(name, &object) || object == nullptr) return;
    service_ = static_cast<Service*>(object);
    service_->Acquire();
  }
  ~RkHalvexService() {
    if (service_ != nullptr) service_->Release();
  }
  RkHalvexService(const RkHalvexService&) = delete;
  RkHalvexService& operator=(const RkHalvexService&) = delete;

  Service* get() const { return service_; }
  explicit operator bool() const { return service_ != nullptr; }
  Service* operator->() const { return service_; }

 private:
  Service* service_ = nullptr;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_HALVEX_LIBRARY_H_
