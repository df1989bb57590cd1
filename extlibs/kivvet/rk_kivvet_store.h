// One user's notes store: a SQLite file (rollback journal), the notes'
// content as files in "NoteFiles" beside it and resources in "ResCache".
// Every operation takes the store's own lock, so one store serves many
// threads; none calls out while holding it.
#ifndef EXTLIBS_KIVVET_RK_KIVVET_STORE_H_
#define EXTLIBS_KIVVET_RK_KIVVET_STORE_H_

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "rk_kivvet_interface.h"
#include "rk_kivvet_protocol.h"

struct sqlite3;

namespace rkkivvet {

inline constexpr char kRootId[] = "00000001-0000-0000-0000-000000000000";
// "et" of the notes that ImportBookmarks makes.
inline constexpr int32_t kBookmarkEt = 2;

struct RkKivvetNewNote {
  std::string parent;
  std::string id;
  std::string name;
  int32_t et = 0;
  std::string url;
  std::string sum;
  std::string tu;
  int32_t version = 0;
};

struct RkKivvetSyncState {
  int64_t usn = 0;  // the peer's change number pulled last
  int64_t time = 0;  // seconds since the epoch of the last good run
  int32_t error = 0;  // the reason of the last failed run, 0 after a good one
};

// What applying one pulled node did.
struct RkKivvetPulled {
  bool changed = false;
  bool added = false;
  std::string copy_id;  // a conflict's copy of the local version, else ""
};

// A node to push and the local change number it was read at.
struct RkKivvetOutgoing {
  protocol::NodeRecord record;
  int64_t lusn = 0;
};

class RkKivvetStore {
 public:
  RkKivvetStore() = default;
  ~RkKivvetStore();
  RkKivvetStore(const RkKivvetStore&) = delete;
  RkKivvetStore& operator=(const RkKivvetStore&) = delete;

  bool Open(const std::filesystem::path& path, const std::string& name);
  void Close();
  // Forgets the paths CloseStore kept.
  void Release();

  // Queries; ids are GUID texts, "" is no id. JSON answers are UTF-8.
  std::string RootId();
  int32_t CountChildren(const std::string& id);
  bool NodeInfo(const std::string& id, std::string* json);
  // Writes into the sink only once the answer is complete.
  bool NodesUnder(const std::string& id, RkByteSink* sink);
  // type 0: every note with a url; else those whose "et" is type.
  bool UrlNotes(int32_t type, std::string* json);
  int32_t UrlNoteCount(const std::string& url);
  bool NodePath(const std::string& id, std::string* json);
  bool NoteMeta(std::string* json);
  bool ContentPath(const std::string& id, std::string* path);
  int32_t NoteVersion(const std::string& id);
  bool LastSync(RkKivvetSyncState* state);

  // Local changes.
  bool CreateFolder(const std::string& parent, const std::string& id, const std::string& name);
  bool CreateNote(const RkKivvetNewNote& note);
  int32_t ToggleMinimalist(const std::string& id);
  bool AddFavorite(const std::string& id, int32_t flags, std::string* favorite_id);
  bool RemoveFavorite(const std::string& id);
  bool SetNoteUrl(const std::string& id, const std::string& url);
  // 0 saved, 1 no such note or no store, 2 bad arguments, 3 not written.
  int32_t SaveContent(const std::string& id, const char* html, int32_t length, bool has_resources);
  bool ClearNoteResources(const std::string& id);
  bool SaveResource(const std::string& name, const uint8_t* data, int32_t length, const std::string& extension,
                    std::string* reference);
  // The count of notes made; false when the body is not a bookmark list.
  bool ImportBookmarks(const std::string& body, int32_t* count);
  bool ResetSyncVersion(const std::vector<std::string>& ids);

  // Synchronisation, for the engine's worker.
  // A different account than the store last synced with starts over: all
  // nodes are pushed again and everything is pulled.
  bool PrepareSync(const std::string& uid, int64_t* since);
  bool ApplyPulled(const protocol::NodeRecord& record, RkKivvetPulled* result);
  bool Outgoing(std::vector<RkKivvetOutgoing>* nodes);
  void Pushed(const std::string& id, int64_t lusn, int64_t usn);
  void RecordSync(bool ok, int32_t error, int64_t usn);
  // True when the store holds that version of the node, or a local change
  // made on it.
  bool IsCurrent(const std::string& id, int64_t usn);
  bool IsNote(const std::string& id);
  bool HasContent(const std::string& id);
  bool StoreFetchedContent(const std::string& id, const std::string& html, int32_t version);

 private:
  bool OpenLocked(const std::filesystem::path& path, const std::string& name);
  void CloseLocked();
  std::filesystem::path ContentFile(const std::string& id) const;
  bool WriteContentFile(const std::string& id, const char* data, size_t size);

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::filesystem::path dir_;
};

}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_RK_KIVVET_STORE_H_
