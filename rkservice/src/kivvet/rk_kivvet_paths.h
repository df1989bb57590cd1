// The notes routes' paths that more than the route table names.
#ifndef RKSERVICE_SRC_KIVVET_RK_KIVVET_PATHS_H_
#define RKSERVICE_SRC_KIVVET_RK_KIVVET_PATHS_H_

namespace rkservice {

inline constexpr char kKivvetSegment[] = "kivvet";
inline constexpr char kKivvetPathSyncInit[] = "/kivvet/sync/init";
inline constexpr char kKivvetPathDoSync[] = "/kivvet/sync/do_sync";
// The notes root, under which the flattened lists are taken.
inline constexpr char16_t kKivvetRootId[] = u"00000001-0000-0000-0000-000000000000";

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_KIVVET_PATHS_H_
