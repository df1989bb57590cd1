// An engine library that lacks its deletion export.
#include <cstddef>

namespace rkdb {
class RkDbObject;
}

extern "C" __attribute__((visibility("default"))) bool CreateRkDbObj2(rkdb::RkDbObject** db) {
  if (db != nullptr) *db = nullptr;
  return false;
}
