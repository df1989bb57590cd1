// What the stand-in of the browser's main library offers the tests beyond the
// contract: the words and numbers that make an operation fail in a chosen
// way, the variable that makes Rk_GetRestService refuse, and the export that
// reports how often each service object was acquired and released. The
// service never uses any of it.
//
// By default an operation calls SetResult once with compact JSON naming it and
// its arguments in table order, the result left out:
//   {"op":"Login","args":["ann","a@b","pw","",true,"en",true,false,false]}
// (texts escaped, flags true/false, numbers as numbers, a null text as null).
#ifndef EXTLIBS_HALVEX_RK_HALVEX_TEST_CONTROLS_H_
#define EXTLIBS_HALVEX_RK_HALVEX_TEST_CONTROLS_H_

#include <cstdint>

namespace rkhalvex {
namespace test_controls {

// An account operation takes the first of these that one of its text
// arguments equals; the updater takes them by update_type.
inline constexpr char kNoResult[] = "halvex-no-result";  // SetResult is never called
inline constexpr char kErrorCode[] = "halvex-error";     // {"op":"<name>","error":-1}, returns -1
inline constexpr char kBadUtf8[] = "halvex-bad-utf8";    // {"op":"<name>","bad":"\xFF\xC3"}
inline constexpr char kTwice[] = "halvex-twice";         // "first", then the usual answer
inline constexpr char kDelay[] = "halvex-delay";         // the usual answer after kDelayMs
inline constexpr char kHold[] = "halvex-hold";           // the usual answer once the test lets held calls go

inline constexpr int32_t kUpdateNoResult = 9001;
inline constexpr int32_t kUpdateErrorCode = 9002;
inline constexpr int32_t kUpdateBadUtf8 = 9003;
inline constexpr int32_t kUpdateTwice = 9004;
inline constexpr int32_t kUpdateDelay = 9005;

inline constexpr int kDelayMs = 200;

// Comma-separated service names that Rk_GetRestService refuses; read on every
// call.
inline constexpr char kRefuseVariable[] = "RK_HALVEX_REFUSE";

// Calls held by kHold now; and the release of every held call, and of every
// later one.
using RkHalvexHeldFn = int32_t (*)();
inline constexpr char kHeldName[] = "RkHalvexHeld";
using RkHalvexLetGoFn = void (*)();
inline constexpr char kLetGoName[] = "RkHalvexLetGo";

// How often the named object was acquired and released in this process;
// false for an unknown name.
using RkHalvexCountersFn = bool (*)(const char* service_name, int32_t* acquired, int32_t* released);
inline constexpr char kCountersName[] = "RkHalvexCounters";

}  // namespace test_controls
}  // namespace rkhalvex

#endif  // EXTLIBS_HALVEX_RK_HALVEX_TEST_CONTROLS_H_
