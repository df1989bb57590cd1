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
// Engine answers (UTF-8 JSON, valid UTF-8 throughout):
// - Node list (GetNodesUnder, GetAllUrlNotes): {"nodes":[node, ...]}. A node
//   has "id" (GUID text), "ft" (0 folder, 1 note) and "fn" (name); a folder
//   also has "nodes" with its children, nested the same way.
// - Node info (GetNodeInfo): one node object, without children.
// - Other shapes are given with their operations below.
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
// only, never while the engine holds its store lock; a call may block.
class RkKivvetObserver {
 public:
  virtual void Reserved0() = 0;
  // 1
  virtual void OnSyncNotify(int32_t code, int32_t detail) = 0;
  // 2: sync state 1 running, 2 done, 3 failed (reason: HTTP status, or -1
  // when the peer could not be reached); 0 reports the idle state.
  virtual void OnSyncNotify2(int32_t code, int32_t reason, const char* message) = 0;
  // 3: one per pulled item, current from 1 to total; text is a JSON object.
  virtual void OnSyncProgress(int32_t type, int32_t current, int32_t total, const char* text) = 0;
  // 4: one per node that a pull changed.
  virtual void OnDataUpdated(int32_t event, const RkGuid* id) = 0;
  // 5: a node changed on both sides: id keeps the peer's version, new_id is
  // the local version's copy.
  virtual void OnDataConflict(int32_t conflict_type, const RkGuid* id, const RkGuid* new_id, int32_t from) = 0;
  // 6
  virtual void OnEngineEvent6(const char16_t* text, void* data, int32_t value, bool flag) = 0;
  // 7
  virtual void OnImportData(void* data, bool ok) = 0;
  // 8
  virtual void OnEngineEvent8() = 0;
  // 9
  virtual void OnEngineEvent9(const char16_t* text, void* data, int32_t value, bool flag) = 0;
  // 10: data is `length` bytes of UTF-8 JSON, not NUL-terminated.
  virtual void OnDataChanged(int32_t event, const char* data, int32_t length, int32_t from) = 0;
  // 11
  virtual void OnEngineEvent11(const char16_t* text) = 0;
  // 12: data is `length` bytes of UTF-8, not NUL-terminated.
  virtual void OnShareNoteResult(const char16_t* key, const char* data, int32_t length) = 0;
  // 13: status 0 the content arrived, 1 the download failed.
  virtual void OnNoteFileDownload(int32_t status, const RkGuid* id) = 0;

 protected:
  ~RkKivvetObserver() = default;
};

// One user's notes store. One object may be called from several threads at
// once; it serialises what needs it. Unknown ids, the zero GUID and a closed
// store give false, 0 or -1, as each operation says.
class RkNoteSyncStorage {
 public:
  virtual void Reserved0() = 0;
  // 1: false for an empty uid or key, a host or res_host that is not
  // http(s), or guest mode. Keeps the details for DoSync.
  virtual bool InitSync(const char16_t* uid, const char16_t* did, const char16_t* key, const char16_t* app,
                        const char16_t* host, const char16_t* res_host, const char16_t* cver,
                        int32_t vip_level) = 0;
  virtual void Reserved2() = 0;
  virtual void Reserved3() = 0;
  // 4: queues a sync run on the worker; false without sync details.
  virtual bool DoSync() = 0;
  // 5: stops and joins the worker; later calls start nothing.
  virtual void Shutdown() = 0;
  // 6
  virtual void CloseStore() = 0;
  // 7: opens or creates the store file at path; a file that is not a store
  // is refused and left untouched.
  virtual bool OpenStore(const char16_t* path, const char16_t* name) = 0;
  // 8: drops what CloseStore left; the file may then be deleted.
  virtual void ReleaseStore() = 0;
  // 9: null detaches, returning only when no callback runs and none will
  // start. Setting one reports the sync state once (OnSyncNotify2, code 0).
  virtual void SetObserver(RkKivvetObserver* observer) = 0;
  // 10
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
  // 22: the favourite's own id in new_id.
  virtual bool AddFavorite(const RkGuid* id, RkGuid* new_id, int32_t flags) = 0;
  // 23
  virtual bool RemoveFavorite(const RkGuid* id, int32_t flags) = 0;
  // 24: node info.
  virtual bool GetNodeInfo(const RkGuid* id, RkByteSink* sink) = 0;
  virtual void Reserved25() = 0;
  virtual void Reserved26() = 0;
  virtual void Reserved27() = 0;
  virtual void Reserved28() = 0;
  virtual void Reserved29() = 0;
  // 30: every note that has a url, as a flat node list.
  virtual bool GetAllUrlNotes(RkByteSink* sink) = 0;
  // 31: url notes by type (0 = all).
  virtual bool GetBookmarkUrlNotes(int32_t type, std::string* out) = 0;
  virtual void Reserved32() = 0;
  // 33
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
  // 46: note meta.
  virtual bool GetNoteMeta(std::string* out, bool force) = 0;
  virtual void Reserved47() = 0;
  // 48: body is a JSON array of {"title","url"} objects, or {"bookmarks":
  // that array}; each becomes a url note directly under the root. Answers
  // {"count":n}; a body that does not parse is refused.
  virtual bool ImportBookmarks(const std::u16string* body, std::string* out) = 0;
  // 49: queues a pull-only run.
  virtual bool DownloadNodes() = 0;
  // 50: name is 32 hex digits (the MD5 of the bytes); the extension is kept
  // to letters, digits and "_". Empty data is refused. The stored reference
  // goes to the sink.
  virtual bool SaveResource(const char16_t* name, const uint8_t* data, int32_t length, int32_t kind,
                            const char16_t* extension, RkByteSink* sink) = 0;
  // 51: the path of a readable local content file.
  virtual bool GetNoteContentPath(const RkGuid* id, RkByteSink* sink, bool flag) = 0;
  // 52: 0 when saved; bumps the note's version.
  virtual int32_t SaveContent(const RkGuid* id, const char* html, int32_t length, int32_t version,
                              bool has_resources, int32_t from) = 0;
  // 53
  virtual bool ClearNoteResources(const RkGuid* id) = 0;
  virtual void Reserved54() = 0;
  virtual void Reserved55() = 0;
  // 56: a folder with the given id under parent.
  virtual bool CreateFolder(const RkGuid* parent, const char16_t* name, int32_t flags, int32_t order,
                            const RkGuid* id, bool notify) = 0;
  // 57: a note with the given id under parent.
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
  // 69: the node list of everything under root.
  virtual bool GetNodesUnder(const RkGuid* root, RkByteSink* sink) = 0;
  virtual void Reserved70() = 0;
  virtual void Reserved71() = 0;
  virtual void Reserved72() = 0;
  virtual void Reserved73() = 0;
  // 74
  virtual int32_t GetUrlNoteCount(const char16_t* url) = 0;
  virtual void Reserved75() = 0;
  virtual void Reserved76() = 0;
  virtual void Reserved77() = 0;
  virtual void Reserved78() = 0;
  virtual void Reserved79() = 0;
  // 80: node path.
  virtual bool GetNodePath(const RkGuid* id, RkByteSink* sink) = 0;
  // 81: non-zero while a sync run is queued or running.
  virtual int32_t GetSyncStatus() = 0;
  // 82: -1 for an unknown id.
  virtual int32_t GetNoteVersion(const RkGuid* id) = 0;
  // 83
  virtual void GetLastSyncStatus(int32_t* version, int64_t* sync_time, int32_t* err_code, int32_t* is_syncing) = 0;
  // 84
  virtual bool ResetSyncVersion(const std::vector<RkGuid>* ids) = 0;
  virtual void Reserved85() = 0;
  // 86: queues a content fetch; 1 queued, 0 not.
  virtual int32_t DownloadNoteContent(const RkGuid* id) = 0;
  // 87: queues a content fetch when the content is missing.
  virtual void RequestMissingContent(const RkGuid* id) = 0;
  virtual void Reserved88() = 0;
  virtual void Reserved89() = 0;
  // 90
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
