// The service's GUID and the engine's are the same 16 bytes; ids cross the
// engine boundary through these copies.
#ifndef RKSERVICE_SRC_KIVVET_RK_KIVVET_GUID_H_
#define RKSERVICE_SRC_KIVVET_RK_KIVVET_GUID_H_

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

#include "kivvet/rk_kivvet_interface.h"
#include "rk_utils.h"

namespace rkservice {

static_assert(sizeof(GUID) == sizeof(rkkivvet::RkGuid) && std::is_standard_layout_v<GUID> &&
                  std::is_trivially_copyable_v<GUID> && offsetof(GUID, Data1) == offsetof(rkkivvet::RkGuid, data1) &&
                  offsetof(GUID, Data2) == offsetof(rkkivvet::RkGuid, data2) &&
                  offsetof(GUID, Data3) == offsetof(rkkivvet::RkGuid, data3) &&
                  offsetof(GUID, Data4) == offsetof(rkkivvet::RkGuid, data4) &&
                  sizeof(GUID::Data4) == sizeof(rkkivvet::RkGuid::data4),
              "the service's GUID and the engine's GUID must be layout-identical");

inline rkkivvet::RkGuid ToEngineGuid(const GUID& guid) {
  rkkivvet::RkGuid out;
  std::memcpy(&out, &guid, sizeof(out));
  return out;
}

inline GUID FromEngineGuid(const rkkivvet::RkGuid& guid) {
  GUID out;
  std::memcpy(&out, &guid, sizeof(out));
  return out;
}

// An id text (GUID text, braces optional) as the engine takes it; the zero
// GUID for anything that does not parse.
inline rkkivvet::RkGuid EngineGuidOf(const std::u16string& text) { return ToEngineGuid(StringToGuid(text)); }

// "00000000-0000-0000-0000-000000000000" for a null id.
inline std::u16string EngineGuidText(const rkkivvet::RkGuid* guid) {
  return GuidToString(guid != nullptr ? FromEngineGuid(*guid) : GUID{});
}

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_KIVVET_GUID_H_
