// The notes engine binding: loads the engine library from the service
// library's own folder, makes one engine object, opens the user's notes store
// "Kivvet.dat", has a new or empty store filled with the default notes, hands
// the engine its observer, and forwards every notes operation to one engine
// operation, turning id texts into GUIDs on the way.
#ifndef RKSERVICE_SRC_KIVVET_ADAPTOR_WIN_RK_KIVVETMGR_V2_WIN_H_
#define RKSERVICE_SRC_KIVVET_ADAPTOR_WIN_RK_KIVVETMGR_V2_WIN_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kivvet/adaptor/win/rk_lzma_util.h"
#include "kivvet/rk_kivvet_interface.h"

namespace rkservice {

struct DefaultNodeRecord;

// The engine library's file name; the one place it is written.
inline constexpr char kRkKivvetLibraryName[] = "libRkKivvet.so";
// The notes store in the notes folder.
inline constexpr char kRkKivvetStoreFile[] = "Kivvet.dat";

// The loaded engine library and its two factory functions. The module is
// never unloaded: engine objects and their threads may outlive any one
// manager.
struct RkKivvetLibrary {
  void* module = nullptr;
  rkkivvet::RkNoteSyncStorageCreateFn fun_create_note_storage_ = nullptr;
  rkkivvet::RkNoteSyncStorageDeleteFn fun_delete_note_storage_ = nullptr;
};

class RkKivvetMgrV2Win {
 public:
  RkKivvetMgrV2Win(const std::string& user_id, const std::string& notes_dir);
  // Shuts the engine down, detaches the observer (the engine waits for
  // callbacks in flight) and releases the engine object.
  ~RkKivvetMgrV2Win();
  RkKivvetMgrV2Win(const RkKivvetMgrV2Win&) = delete;
  RkKivvetMgrV2Win& operator=(const RkKivvetMgrV2Win&) = delete;

  // Loads, opens and fills the store, then hands over the observer. Runs once;
  // a second call after success returns true and does nothing.
  bool Init(rkkivvet::RkKivvetObserver* observer);

  // Engine operations; without an engine each gives the value in its comment.
  bool InitSync(const std::u16string& uid, const std::u16string& did, const std::u16string& key,
                const std::u16string& app, const std::u16string& host, const std::u16string& res_host,
                const std::u16string& cver, int vip_level);                                   // false
  bool DoSync();                                                                              // false
  // The engine's answer: 0 when it switched nothing.
  int SetFolderMinimalist(const std::u16string& id, int from);                                // 0
  // new_id gets the new id's text whether or not the engine succeeded.
  bool AddFavorite(const std::u16string& id, std::u16string* new_id, int flags);               // false
  bool RemoveFavorite(const std::u16string& id, int flags);                                   // false
  bool GetNodeInfo(const std::u16string& id, rkkivvet::RkByteSink* sink);                     // false
  bool GetAllUrlNotes(rkkivvet::RkByteSink* sink);                                            // false
  bool GetBookmarkUrlNotes(int type, std::string* out);                                       // false
  bool SetNoteUrl(const std::u16string& id, const std::u16string& url, int from);             // false
  bool GetNoteMeta(std::string* out, bool force);                                             // false
  bool ImportBookmarks(const std::u16string& body, std::string* out);                         // false
  bool DownloadNodes();                                                                       // false
  bool SaveResource(const std::u16string& name, const uint8_t* data, int length, int kind,
                    const std::u16string& extension, rkkivvet::RkByteSink* sink);             // false
  bool GetNoteContentPath(const std::u16string& id, rkkivvet::RkByteSink* sink, bool flag);   // false
  // 0 = saved; -1 when nothing was (no engine, HTML too long for it).
  int SaveContent(const std::u16string& id, const std::string& html, int version, bool has_resources,
                  int from);                                                                  // -1
  bool ClearNoteResources(const std::u16string& id);                                          // false
  bool CreateFolder(const std::u16string& parent, const std::u16string& name, const std::u16string& id);  // false
  bool CreateNote(const std::u16string& parent, const std::u16string& name, int et, const std::u16string& url,
                  const std::u16string& sum, const std::u16string& tu, const std::u16string& id);  // false
  // The zero GUID's text when there is no root.
  std::u16string GetRootId();
  bool GetNodesUnder(const std::u16string& root_id, rkkivvet::RkByteSink* sink);              // false
  int GetUrlNoteCount(const std::u16string& url);                                             // 0, also for ""
  bool GetNodePath(const std::u16string& id, rkkivvet::RkByteSink* sink);                     // false
  int GetSyncStatus();                                                                        // 0
  int GetNoteVersion(const std::u16string& id);                                               // -1
  // Leaves the outputs untouched without an engine.
  void GetLastSyncStatus(int* version, int64_t* sync_time, int* err_code, int* is_syncing);
  bool ResetSyncVersion();                                                                    // false
  int DownloadNoteContent(const std::u16string& id);                                          // 0
  void RequestMissingContent(const std::u16string& id);
  // Runs the engine's self-test; always false.
  bool TestHttpRes(rkkivvet::RkByteSink* sink);

 private:
  bool InitStorage();
  bool LoadLibrary(const std::filesystem::path& module_dir);
  void DeleteStorage();
  std::u16string MakeStoreName() const;
  // Fills a new or empty store from the default-notes archive; false makes
  // InitStorage close the store again.
  bool ImportDefaultNotes(const std::filesystem::path& archive);
  // One note whose content the archive carries: its image stored as a
  // resource, the note made, its HTML saved. Left out when the template is
  // missing or the engine does not store the image.
  void ImportDefaultNote(const RkArchiveEntries& entries, const DefaultNodeRecord& record);

  std::string user_id_;
  std::string notes_dir_;
  rkkivvet::RkNoteSyncStorage* storage_ = nullptr;
  bool inited_ = false;
  bool store_opened_ = false;
  std::unique_ptr<RkKivvetLibrary> library_;
  std::u16string user_id_w_;
  std::filesystem::path notes_path_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_ADAPTOR_WIN_RK_KIVVETMGR_V2_WIN_H_
