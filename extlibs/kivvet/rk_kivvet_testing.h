// Test flavour of the notes engine only (bin/kivvet_testing/libRkKivvet.so,
// built with RK_KIVVET_TESTING): five extra exports. RkKivvetTestFire makes the
// engines of the process call their observer with arguments of the test's
// choosing, for faults a real sync never produces (null texts and ids,
// negative lengths, invalid JSON, share results, the positions 6, 8, 9 and
// 11). RkKivvetTestLastReset tells which ids the last ResetSyncVersion got.
// RkKivvetTestCalls tells what the operations that carry a route's arguments
// got, which the engine itself would not show (from, version, flags, force).
// RkKivvetTestSetContentPath and RkKivvetTestSetNodesUnder make the engine
// answer with a content path or a node list of the test's choosing, for
// answers the real store never gives (an empty path, a list that is not JSON).
//
// A test dlopens that same file (the service beside it has loaded it
// already, so both share one copy) and looks the export up by name:
//   auto fire = reinterpret_cast<rkkivvet::RkKivvetTestFireFn>(
//       dlsym(module, rkkivvet::kRkKivvetTestFireName));
//   rkkivvet::RkKivvetTestEvent event;
//   event.position = 10;
//   event.numbers[0] = 1;  // event
//   event.text = "not json";
//   event.numbers[1] = 8;  // length
//   event.numbers[2] = 2;  // from
//   ASSERT_EQ(fire(&event), 1);  // the callback has returned by now
#ifndef EXTLIBS_KIVVET_RK_KIVVET_TESTING_H_
#define EXTLIBS_KIVVET_RK_KIVVET_TESTING_H_

#include <cstdint>
#include <string>
#include <vector>

#include "rk_kivvet_interface.h"

namespace rkkivvet {

// One observer call. Pointers are passed on exactly as given (null stays
// null, lengths are not checked); they need only live until the fire call
// returns. Which member goes where, by position:
//   1  OnSyncNotify(numbers[0], numbers[1])
//   2  OnSyncNotify2(numbers[0], numbers[1], text)
//   3  OnSyncProgress(numbers[0], numbers[1], numbers[2], text)
//   4  OnDataUpdated(numbers[0], id)
//   5  OnDataConflict(numbers[0], id, new_id, numbers[1])
//   6  OnEngineEvent6(wide_text, pointer, numbers[0], flag)
//   7  OnImportData(pointer, flag)
//   8  OnEngineEvent8()
//   9  OnEngineEvent9(wide_text, pointer, numbers[0], flag)
//   10 OnDataChanged(numbers[0], text, numbers[1], numbers[2])
//   11 OnEngineEvent11(wide_text)
//   12 OnShareNoteResult(wide_text, text, numbers[0])
//   13 OnNoteFileDownload(numbers[0], id)
struct RkKivvetTestEvent {
  int32_t position = 0;
  int32_t numbers[4] = {0, 0, 0, 0};
  const char* text = nullptr;
  const char16_t* wide_text = nullptr;
  const RkGuid* id = nullptr;
  const RkGuid* new_id = nullptr;
  void* pointer = nullptr;
  bool flag = false;
};

// Calls the event on the worker thread of every engine alive in the process
// that has an observer, one engine after the other, after what each worker
// had queued, and returns once every one of those callbacks has returned:
// the number of observers called (0 when there is no engine or no
// observer), or -1 for a null event or a position outside 1 to 13.
using RkKivvetTestFireFn = int32_t (*)(const RkKivvetTestEvent* event);
inline constexpr char kRkKivvetTestFireName[] = "RkKivvetTestFire";

// The number of ResetSyncVersion calls made on the engines of the process so
// far (0: none, -1: the copy failed), with ids (may be null) set to the list
// the last one got, in its order, as given (before the engine looks at it).
using RkKivvetTestLastResetFn = int32_t (*)(std::vector<RkGuid>* ids);
inline constexpr char kRkKivvetTestLastResetName[] = "RkKivvetTestLastReset";

// The calls made so far on the engines of the process to the operations that
// carry a route's arguments, oldest first, one line each: the operation's
// name, then its arguments, separated by single spaces; ids as GUID text
// ("" for null and the zero GUID), texts as UTF-8, integers in decimal, bools
// as 0 or 1:
//   SetFolderMinimalist id from        AddFavorite id flags
//   RemoveFavorite id flags            SetNoteUrl id url from
//   GetNoteMeta force                  GetBookmarkUrlNotes type
//   ImportBookmarks body               SaveContent id length version has_resources from
//   GetNoteContentPath id flag         ClearNoteResources id
//   DownloadNoteContent id             RequestMissingContent id
// Returns the number of calls recorded so far (-1: the copy failed), with
// calls (may be null) set to those from index `from` on.
using RkKivvetTestCallsFn = int32_t (*)(int32_t from, std::vector<std::string>* calls);
inline constexpr char kRkKivvetTestCallsName[] = "RkKivvetTestCalls";

// From now on GetNoteContentPath of this id answers true with `path` (may be
// empty) whatever the store holds; a null path puts the store's answer back.
// 0, or -1 for a null id.
using RkKivvetTestSetContentPathFn = int32_t (*)(const RkGuid* id, const char* path);
inline constexpr char kRkKivvetTestSetContentPathName[] = "RkKivvetTestSetContentPath";

// From now on GetNodesUnder answers true with `text` (any bytes, may be
// empty) for every root; a null text puts the store's answer back. 0.
using RkKivvetTestSetNodesUnderFn = int32_t (*)(const char* text);
inline constexpr char kRkKivvetTestSetNodesUnderName[] = "RkKivvetTestSetNodesUnder";

}  // namespace rkkivvet

extern "C" {
__attribute__((visibility("default"))) int32_t RkKivvetTestFire(const rkkivvet::RkKivvetTestEvent* event);
__attribute__((visibility("default"))) int32_t RkKivvetTestLastReset(std::vector<rkkivvet::RkGuid>* ids);
__attribute__((visibility("default"))) int32_t RkKivvetTestCalls(int32_t from, std::vector<std::string>* calls);
__attribute__((visibility("default"))) int32_t RkKivvetTestSetContentPath(const rkkivvet::RkGuid* id,
                                                                          const char* path);
__attribute__((visibility("default"))) int32_t RkKivvetTestSetNodesUnder(const char* text);
}

#endif  // EXTLIBS_KIVVET_RK_KIVVET_TESTING_H_
