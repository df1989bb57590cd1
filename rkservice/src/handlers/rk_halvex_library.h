// Binds the browser's main library, loaded by full path from the service
// library's own folder (never by bare name: any folder on the search order
// could plant code), and holds one of its service objects.
#ifndef RKSERVICE_SRC_HANDLERS_RK_HALVEX_LIBRARY_H_
#define RKSERVICE_SRC_HANDLERS_RK_HALVEX_LIBRARY_H_

#include <filesystem>
#include <memory>

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

// One acquired service object of the library, released when the last copy of
// the holder goes: a call still running in the library keeps its own copy,
// so the object is not released under it.
template <typename Service>
class RkHalvexService {
 public:
  // Null when the library cannot be bound or refuses the name.
  RkHalvexService(const char* name, RkHalvexLibrary::LoadFailure report) {
    const rkhalvex::RkGetRestServiceFn get = RkHalvexLibrary::GetRestService(report);
    void* object = nullptr;
    if (get == nullptr || !get(name, &object) || object == nullptr) return;
    Service* service = static_cast<Service*>(object);
    service->Acquire();
    service_ = std::shared_ptr<Service>(service, [](Service* acquired) { acquired->Release(); });
  }

  Service* get() const { return service_.get(); }
  explicit operator bool() const { return service_ != nullptr; }
  Service* operator->() const { return service_.get(); }

 private:
  std::shared_ptr<Service> service_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_HALVEX_LIBRARY_H_
