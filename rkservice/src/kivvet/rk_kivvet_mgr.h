// The notes handler's only road to the notes engine: it owns the engine
// binding and the observer that carries the engine's events to the handler.
// Every operation but Init and SaveContent forwards to the binding unchanged.
#ifndef RKSERVICE_SRC_KIVVET_RK_KIVVET_MGR_H_
#define RKSERVICE_SRC_KIVVET_RK_KIVVET_MGR_H_

#include <cstdint>
#include <memory>
#include <string>

#include "kivvet/rk_kivvet_interface.h"

namespace rkservice {

class RkContentHelper;
class RkKivvetEventSink;
class RkKivvetMgrV2Win;
class RkKivvetSyncObserver;

class RkKivvetMgr {
 public:
  RkKivvetMgr(const std::string& user_id, const std::string& notes_dir);
  // The binding goes first (it shuts the engine down and detaches the
  // observer), then the observer.
  ~RkKivvetMgr();
  RkKivvetMgr(const RkKivvetMgr&) = delete;
  RkKivvetMgr& operator=(const RkKivvetMgr&) = delete;

  // Loads the engine, opens the store and hands the engine an observer that
  // forwards to `sink`. Events may arrive before this returns.
  bool Init(RkKivvetEventSink* sink);

  // Brings the images the HTML references into the store first (waiting for
  // their downloads), or clears the note's resources when it has none.
  // -1 when nothing was saved, else the engine's result (0 = saved).
  int SaveContent(const std::u16string& id, const std::string& html, int version, int from);
  // The image fetcher of one save, storing through mgr.
  static std::shared_ptr<RkContentHelper> MakeContentHelper(RkKivvetMgr* mgr, const std::string& id,
                                                            const std::string& html);

  bool InitSync(const std::u16string& uid, const std::u16string& did, const std::u16string& key,
                const std::u16string& app, const std::u16string& host, const std::u16string& res_host,
                const std::u16string& cver, int vip_level);
  bool DoSync();
  int SetFolderMinimalist(const std::u16string& id, int from);
  bool AddFavorite(const std::u16string& id, std::u16string* new_id, int flags);
  bool RemoveFavorite(const std::u16string& id, int flags);
  bool GetNodeInfo(const std::u16string& id, rkkivvet::RkByteSink* sink);
  bool GetAllUrlNotes(rkkivvet::RkByteSink* sink);
  bool GetBookmarkUrlNotes(int type, std::string* out);
  bool SetNoteUrl(const std::u16string& id, const std::u16string& url, int from);
  bool GetNoteMeta(std::string* out, bool force);
  bool ImportBookmarks(const std::u16string& body, std::string* out);
  bool DownloadNodes();
  bool SaveResource(const std::u16string& name, const uint8_t* data, int length, int kind,
                    const std::u16string& extension, rkkivvet::RkByteSink* sink);
  bool GetNoteContentPath(const std::u16string& id, rkkivvet::RkByteSink* sink, bool flag);
  bool ClearNoteResources(const std::u16string& id);
  bool GetNodesUnder(const std::u16string& root_id, rkkivvet::RkByteSink* sink);
  int GetUrlNoteCount(const std::u16string& url);
  bool GetNodePath(const std::u16string& id, rkkivvet::RkByteSink* sink);
  int GetSyncStatus();
  int GetNoteVersion(const std::u16string& id);
  void GetLastSyncStatus(int* version, int64_t* sync_time, int* err_code, int* is_syncing);
  bool ResetSyncVersion();
  int DownloadNoteContent(const std::u16string& id);
  void RequestMissingContent(const std::u16string& id);
  bool TestHttpRes(rkkivvet::RkByteSink* sink);

 private:
  RkKivvetEventSink* sink_ = nullptr;
  // Declared before impl_, so it outlives the binding that detaches it.
  std::unique_ptr<RkKivvetSyncObserver> observer_;
  std::unique_ptr<RkKivvetMgrV2Win> impl_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_KIVVET_MGR_H_
