// Notes engine libraries that cannot serve: one without its deletion export,
// one whose factory makes no engine.
#include "kivvet/rk_kivvet_interface.h"

extern "C" bool CreateRkNoteSyncStorage(rkkivvet::RkNoteSyncStorage** storage) {
  if (storage != nullptr) *storage = nullptr;
  return false;
}

#ifdef RK_STAND_IN_WITH_DELETE
extern "C" void DeleteRkNoteSyncStorage(rkkivvet::RkNoteSyncStorage** storage) {
  if (storage != nullptr) *storage = nullptr;
}
#endif
