// The one contract between the service and the notes engine library
// "RkKivvet": the two factory exports, the engine object whose table the
// service calls by position, the byte sink the service hands it for answers,
// and the observer through which the engine reports its events.
//
// ABI rules kept here:
// - The position of every operation in its table is fixed (the number in its
//   comment). Positions nobody calls are reserved placeholders that keep
//   their places.
// - No virtual destructor (on this ABI it takes two table slots) and no
//   overloaded virtual (overloads are not grouped in table order). The engine
//   object is destroyed only through DeleteRkNoteSyncStorage.
// - UTF-16 texts are NUL-terminated char16_t (wchar_t is 32-bit here).
//   Narrow texts are UTF-8.
// - std::string, std::u16string and std::vector are passed by pointer. That is
//   sound only because both sides are built here with the same compiler and
//   standard library.
// - Ids are 16-byte GUIDs passed by pointer; the all-zero GUID is no id.
//
// Engine answers (UTF-8 JSON, valid UTF-8 throughout, keys in ascending
// order, ids as upper-case GUID text without braces):
// - Node: {"ctime":s,"et":n,"fav":b,"fn":"name","ft":0|1,"has_content":b,
//   "id":"GUID","minimalist":0|1,"mtime":s,"pid":"parent GUID","res":n,
//   "sum":"","tu":"","url":"","ver":n}. "ft" 0 is a folder, 1 a note; "ver"
//   the note's content version; "has_content" whether its content is on this
//   machine; "res" how many stored resources its content uses; "fav" whether
//   it is a favourite; times in seconds since 1970.
// - Node list (GetNodesUnder, GetAllUrlNotes, GetBookmarkUrlNotes):
//   {"nodes":[node, ...]} in the order the nodes were made. In GetNodesUnder
//   a folder also has "nodes" with its children, nested the same way; the
//   other two are flat.
// - Node info (GetNodeInfo): one node, without "nodes".
// - Other shapes are given with their operations below.
//
// Events of a sync run (DoSync, DownloadNodes), in this order: state 1; per
// pulled node a progress event, a conflict event when the node had changed
// on both sides, a data-updated event; one data-changed event; state 2, or
// state 3 as soon as the run fails (without the data-changed event).
#ifndef EXTLIBS_KIVVET_RK_KIVVET_INTERFACE_H_
#define EXTLIBS_KIVVET_RK_KIVVET_INTERFACE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace rkkivvet {

// Three little-endian integers and 8 bytes, as the service's GUID.
struct RkGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
static_assert(sizeof(RkGuid) == 16 && std::is_standard_layout_v<RkGuid>, "RkGuid is 16 plain bytes");

// Where the engine writes an answer of bytes; the caller owns the buffer.
class RkByteSink {
 public:
  // 0: appends n zero bytes to the caller's buffer and returns a pointer to
  // the first of them, valid until the next Grow. Grow(0) returns a non-null
  // pointer that may be written 0 bytes to.
  virtual uint8_t* Grow(size_t n) = 0;

 protected:
  ~RkByteSink() = default;
};

// The engine's event receiver. Calls come from the engine's worker thread
// only, one at a time, never while the engine holds its store lock; a call
// may block (the engine's queued work waits). The engine itself calls 2, 3,
// 4, 5, 7, 10 and 13; 1, 6, 8, 9, 11 and 12 only its test flavour
// (rk_kivvet_testing.h).
class RkKivvetObserver {
 public:
  virtual void Reserved0() = 0;
  // 1
  virtual void OnSyncNotify(int32_t code, int32_t detail) = 0;
  // 2: sync state 1 running (message "sync", or "download" for a pull-only
  // run), 2 done (reason 0, "done"), 3 failed (reason: the peer's HTTP
  // status, or -1 when it could not be reached or answered nonsense;
  // message: what went wrong); 0 reports the idle state (0, "idle").
  virtual void OnSyncNotify2(int32_t code, int32_t reason, const char* message) = 0;
  // 3: one per pulled item, type 1, current from 1 to total; text is
  // {"fn":"name","id":"GUID"}.
  virtual void OnSyncProgress(int32_t type, int32_t current, int32_t total, const char* text) = 0;
  // 4: one per node that a pull changed: event 1 new here, 2 changed.
  virtual void OnDataUpdated(int32_t event, const RkGuid* id) = 0;
  // 5: a node changed on both sides: id keeps the peer's version, new_id is
  // the local version's copy (same parent, content and resources; pushed
  // with the run). conflict_type 1, from 2.
  virtual void OnDataConflict(int32_t conflict_type, const RkGuid* id, const RkGuid* new_id, int32_t from) = 0;
  // 6
  virtual void OnEngineEvent6(const char16_t* text, void* data, int32_t value, bool flag) = 0;
  // 7: after each ImportBookmarks; data is null, ok its result.
  virtual void OnImportData(void* data, bool ok) = 0;
  // 8
  virtual void OnEngineEvent8() = 0;
  // 9
  virtual void OnEngineEvent9(const char16_t* text, void* data, int32_t value, bool flag) = 0;
  // 10: data is `length` bytes of UTF-8 JSON, not NUL-terminated. Once at
  // the end of a good sync run: event 1, from 2, data
  // {"conflicts":n,"pulled":n,"pushed":n,"version":n}.
  virtual void OnDataChanged(int32_t event, const char* data, int32_t length, int32_t from) = 0;
  // 11
  virtual void OnEngineEvent11(const char16_t* text) = 0;
  // 12: data is `length` bytes of UTF-8, not NUL-terminated.
  virtual void OnShareNoteResult(const char16_t* key, const char* data, int32_t length) = 0;
  // 13: after each content fetch (DownloadNoteContent,
  // RequestMissingContent): status 0 the content is here, 1 the fetch
  // failed.
  virtual void OnNoteFileDownload(int32_t status, const RkGuid* id) = 0;

 protected:
  ~RkKivvetObserver() = default;
};

// One user's notes store. One object may be called from several threads at
// once; it serialises what needs it. Unknown ids, the zero GUID, null
// pointers and a closed store give false, 0 or -1, as each operation says.
// The store is one SQLite file (rollback journal), the notes' content files
// in "NoteFiles" and resources in "ResCache" beside it. Sync, pulls and
// content fetches run on the engine's one worker thread. Not to be deleted
// from inside one of its own callbacks.
class RkNoteSyncStorage {
 public:
  virtual void Reserved0() = 0;
  // 1: false for an empty uid or key, a host or res_host that is not
  // http(s), or guest mode. Keeps the details for DoSync; did, app, cver and
  // vip_level are accepted as they are. Another uid than the store last
  // synced with makes the next run push everything and pull from the start.
  virtual bool InitSync(const char16_t* uid, const char16_t* did, const char16_t* key, const char16_t* app,
                        const char16_t* host, const char16_t* res_host, const char16_t* cver,
                        int32_t vip_level) = 0;
  virtual void Reserved2() = 0;
  virtual void Reserved3() = 0;
  // 4: queues a sync run on the worker (pull, then push of local changes
  // and their content); false without sync details or after Shutdown. A run
  // already waiting serves a second call.
  virtual bool DoSync() = 0;
  // 5: stops and joins the worker, after the callback in flight; queued
  // work is dropped, a transfer under way is given up, and later calls start
  // nothing. The store still answers.
  virtual void Shutdown() = 0;
  // 6: closes the store file; operations fail until OpenStore.
  virtual void CloseStore() = 0;
  // 7: opens or creates the store file at path (its folder must exist); a new
  // store holds only the root 00000001-0000-0000-0000-000000000000. A file
  // that is not a store is refused and left untouched. name is recorded in a
  // new store only.
  virtual bool OpenStore(const char16_t* path, const char16_t* name) = 0;
  // 8: drops what CloseStore left; the file may then be deleted.
  virtual void ReleaseStore() = 0;
  // 9: returns only when no callback runs (unless called from one) and,
  // for null, none will start. Setting one reports the state once
  // (OnSyncNotify2(0, 0, "idle")) on the worker before this returns, after
  // the task the worker is busy with.
  virtual void SetObserver(RkKivvetObserver* observer) = 0;
  // 10: forgets the sync details; InitSync refuses from now on.
  virtual void EnterGuestMode() = 0;
  virtual void Reserved11() = 0;
  // 12: the zero GUID when there is no open store.
  virtual void GetRootId(RkGuid* id) = 0;
  virtual void Reserved13() = 0;
  virtual void Reserved14() = 0;
  virtual void Reserved15() = 0;
  virtual void Reserved16() = 0;
  // 17: 1 when the folder's flag was switched, 0 otherwise.
  virtual int32_t SetFolderMinimalist(const RkGuid* id, int32_t from) = 0;
  virtual void Reserved18() = 0;
  virtual void Reserved19() = 0;
  virtual void Reserved20() = 0;
  virtual void Reserved21() = 0;
  // 22: true when the node (not the root) is a favourite now; new_id (may
  // be null) gets the favourite's own id, the same one on a repeat. flags
  // are kept; favourites are not synced.
  virtual bool AddFavorite(const RkGuid* id, RkGuid* new_id, int32_t flags) = 0;
  // 23: id is the node's or the favourite's own; false when none was
  // removed.
  virtual bool RemoveFavorite(const RkGuid* id, int32_t flags) = 0;
  // 24: node info; false for an unknown id.
  virtual bool GetNodeInfo(const RkGuid* id, RkByteSink* sink) = 0;
  virtual void Reserved25() = 0;
  virtual void Reserved26() = 0;
  virtual void Reserved27() = 0;
  virtual void Reserved28() = 0;
  virtual void Reserved29() = 0;
  // 30: every note that has a url, as a flat node list.
  virtual bool GetAllUrlNotes(RkByteSink* sink) = 0;
  // 31: the notes that have a url and whose "et" is type (0: all of them),
  // as a flat node list. Imported bookmarks have "et" 2.
  virtual bool GetBookmarkUrlNotes(int32_t type, std::string* out) = 0;
  virtual void Reserved32() = 0;
  // 33: notes only; the url may be empty.
  virtual bool SetNoteUrl(const RkGuid* id, const char16_t* url, int32_t from) = 0;
  virtual void Reserved34() = 0;
  virtual void Reserved35() = 0;
  virtual void Reserved36() = 0;
  virtual void Reserved37() = 0;
  virtual void Reserved38() = 0;
  virtual void Reserved39() = 0;
  virtual void Reserved40() = 0;
  virtual void Reserved41() = 0;
  virtual void Reserved42() = 0;
  virtual void Reserved43() = 0;
  virtual void Reserved44() = 0;
  virtual void Reserved45() = 0;
  // 46: {"favorites":[{"fid":"favourite GUID","flags":n,"id":"node GUID"}],
  // "folders":n,"notes":n,"root":"GUID","sync_version":n,"version":n}, where
  // version counts the store's local changes and sync_version is the peer's
  // change number pulled last. Always fresh: force changes nothing.
  virtual bool GetNoteMeta(std::string* out, bool force) = 0;
  virtual void Reserved47() = 0;
  // 48: body is a JSON array of {"title","url"} objects, or {"bookmarks":
  // that array}; each becomes a url note ("et" 2, named by its title, else
  // its url) directly under the root. Answers {"count":n}. A body that does
  // not parse, or is not of that shape, is refused (false); items without a
  // text url are skipped. Ends with OnImportData either way.
  virtual bool ImportBookmarks(const std::u16string* body, std::string* out) = 0;
  // 49: queues a pull-only run: the same events as DoSync, nothing pushed.
  virtual bool DownloadNodes() = 0;
  // 50: name is 32 hex digits (the MD5 of the bytes); the extension is kept
  // to letters, digits and "_" (16 at most). Empty data is refused. The
  // stored reference goes to the sink: "file://" + the absolute path
  // ".../ResCache/<NAME>.<extension>" (name in upper case; no dot without an
  // extension). A file already there is kept. kind is not used.
  virtual bool SaveResource(const char16_t* name, const uint8_t* data, int32_t length, int32_t kind,
                            const char16_t* extension, RkByteSink* sink) = 0;
  // 51: the absolute path (UTF-8) of the note's content file, while its
  // content is on this machine; false otherwise. flag is not used.
  virtual bool GetNoteContentPath(const RkGuid* id, RkByteSink* sink, bool flag) = 0;
  // 52: 0 saved (the note's version goes up by one), 1 no such note or no
  // store, 2 bad arguments (negative length, null html with a length), 3 not
  // written. With has_resources, the "ResCache/<NAME>" references in the
  // html are recorded as the note's resources ("res"). version and from are
  // not checked.
  virtual int32_t SaveContent(const RkGuid* id, const char* html, int32_t length, int32_t version,
                              bool has_resources, int32_t from) = 0;
  // 53: forgets the note's resources ("res" 0); the files stay in the cache.
  virtual bool ClearNoteResources(const RkGuid* id) = 0;
  virtual void Reserved54() = 0;
  virtual void Reserved55() = 0;
  // 56: a folder with the given (new, non-zero) id under parent, an existing
  // folder. flags, order and notify are not used.
  virtual bool CreateFolder(const RkGuid* parent, const char16_t* name, int32_t flags, int32_t order,
                            const RkGuid* id, bool notify) = 0;
  // 57: a note with the given (new, non-zero) id under parent, an existing
  // folder; et must not be negative; version is its first content version
  // (-1: 0). flags and notify are not used.
  virtual bool CreateNote(const RkGuid* parent, const char16_t* name, int32_t flags, int32_t et,
                          const char16_t* url, const char16_t* sum, const char16_t* tu, int32_t version,
                          const RkGuid* id, bool notify) = 0;
  virtual void Reserved58() = 0;
  virtual void Reserved59() = 0;
  virtual void Reserved60() = 0;
  virtual void Reserved61() = 0;
  virtual void Reserved62() = 0;
  virtual void Reserved63() = 0;
  virtual void Reserved64() = 0;
  virtual void Reserved65() = 0;
  // 66: direct children; -1 for an unknown id.
  virtual int32_t CountChildren(const RkGuid* id) = 0;
  virtual void Reserved67() = 0;
  virtual void Reserved68() = 0;
  // 69: the node list of everything under root (nested); a note has none.
  virtual bool GetNodesUnder(const RkGuid* root, RkByteSink* sink) = 0;
  virtual void Reserved70() = 0;
  virtual void Reserved71() = 0;
  virtual void Reserved72() = 0;
  virtual void Reserved73() = 0;
  // 74: the notes whose url is exactly this text; 0 for an empty one.
  virtual int32_t GetUrlNoteCount(const char16_t* url) = 0;
  virtual void Reserved75() = 0;
  virtual void Reserved76() = 0;
  virtual void Reserved77() = 0;
  virtual void Reserved78() = 0;
  virtual void Reserved79() = 0;
  // 80: {"id":"GUID","path":[{"fn":"name","id":"GUID"}, ...]}, the folders
  // that enclose the node, outermost first, the root left out.
  virtual bool GetNodePath(const RkGuid* id, RkByteSink* sink) = 0;
  // 81: non-zero while a sync run is queued or running.
  virtual int32_t GetSyncStatus() = 0;
  // 82: the note's content version; -1 for an unknown id or a folder.
  virtual int32_t GetNoteVersion(const RkGuid* id) = 0;
  // 83: version: the peer's change number pulled last; sync_time: seconds
  // since 1970 of the last good run (0: none); err_code: the reason of the
  // last failed run, 0 after a good one; is_syncing: 1 while a run waits or
  // runs. A closed store gives 0 for the first three. Null pointers are
  // skipped.
  virtual void GetLastSyncStatus(int32_t* version, int64_t* sync_time, int32_t* err_code, int32_t* is_syncing) = 0;
  // 84: the listed nodes forget their sync state (they are not pushed, and
  // the peer's copy wins at the next pull without a conflict) and the next
  // run pulls from the start; false on a closed store.
  virtual bool ResetSyncVersion(const std::vector<RkGuid>* ids) = 0;
  virtual void Reserved85() = 0;
  // 86: queues a content fetch from res_host; 1 queued, 0 not (no such
  // note, no sync details, after Shutdown). Content changed here and not
  // pushed yet is kept.
  virtual int32_t DownloadNoteContent(const RkGuid* id) = 0;
  // 87: queues a content fetch when the content is missing.
  virtual void RequestMissingContent(const RkGuid* id) = 0;
  virtual void Reserved88() = 0;
  virtual void Reserved89() = 0;
  // 90: {"host":"...","ready":b,"res_host":"..."}, without any request;
  // true when sync details are set.
  virtual bool TestHttpRes(RkByteSink* sink) = 0;

 protected:
  ~RkNoteSyncStorage() = default;
};

static_assert(!std::has_virtual_destructor_v<RkByteSink>, "a virtual destructor would shift the table");
static_assert(!std::has_virtual_destructor_v<RkKivvetObserver>, "a virtual destructor would shift the table");
static_assert(!std::has_virtual_destructor_v<RkNoteSyncStorage>, "a virtual destructor would shift the table");
static_assert(sizeof(bool) == 1, "the factory returns a one-byte boolean");

// The factory exports, looked up by these names.
using RkNoteSyncStorageCreateFn = bool (*)(RkNoteSyncStorage** storage);
using RkNoteSyncStorageDeleteFn = void (*)(RkNoteSyncStorage** storage);
inline constexpr char kRkNoteSyncStorageCreateName[] = "CreateRkNoteSyncStorage";
inline constexpr char kRkNoteSyncStorageDeleteName[] = "DeleteRkNoteSyncStorage";

}  // namespace rkkivvet

extern "C" {
// Stores a new engine object in *storage; false when none could be made.
__attribute__((visibility("default"))) bool CreateRkNoteSyncStorage(rkkivvet::RkNoteSyncStorage** storage);
// Shuts *storage down and destroys it; the caller clears its pointer.
__attribute__((visibility("default"))) void DeleteRkNoteSyncStorage(rkkivvet::RkNoteSyncStorage** storage);
}

static_assert(std::is_same_v<decltype(&CreateRkNoteSyncStorage), rkkivvet::RkNoteSyncStorageCreateFn>,
              "factory signature");
static_assert(std::is_same_v<decltype(&DeleteRkNoteSyncStorage), rkkivvet::RkNoteSyncStorageDeleteFn>,
              "factory signature");

#endif  // EXTLIBS_KIVVET_RK_KIVVET_INTERFACE_H_
