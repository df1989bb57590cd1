// The engine object behind the operation table: it forwards each operation
// to its store or to its synchronisation, and owns the worker thread.
#ifndef EXTLIBS_KIVVET_RK_KIVVET_ENGINE_H_
#define EXTLIBS_KIVVET_RK_KIVVET_ENGINE_H_

#include <functional>

#include "rk_kivvet_interface.h"
#include "rk_kivvet_store.h"
#include "rk_kivvet_sync.h"
#include "rk_kivvet_worker.h"

namespace rkkivvet {

class RkKivvetEngine final : public RkNoteSyncStorage {
 public:
  RkKivvetEngine();
  ~RkKivvetEngine();
  RkKivvetEngine(const RkKivvetEngine&) = delete;
  RkKivvetEngine& operator=(const RkKivvetEngine&) = delete;

  void Reserved0() override {}
  bool InitSync(const char16_t* uid, const char16_t* did, const char16_t* key, const char16_t* app,
                const char16_t* host, const char16_t* res_host, const char16_t* cver, int32_t vip_level) override;
  void Reserved2() override {}
  void Reserved3() override {}
  bool DoSync() override;
  void Shutdown() override;
  void CloseStore() override;
  bool OpenStore(const char16_t* path, const char16_t* name) override;
  void ReleaseStore() override;
  void SetObserver(RkKivvetObserver* observer) override;
  void EnterGuestMode() override;
  void Reserved11() override {}
  void GetRootId(RkGuid* id) override;
  void Reserved13() override {}
  void Reserved14() override {}
  void Reserved15() override {}
  void Reserved16() override {}
  int32_t SetFolderMinimalist(const RkGuid* id, int32_t from) override;
  void Reserved18() override {}
  void Reserved19() override {}
  void Reserved20() override {}
  void Reserved21() override {}
  bool AddFavorite(const RkGuid* id, RkGuid* new_id, int32_t flags) override;
  bool RemoveFavorite(const RkGuid* id, int32_t flags) override;
  bool GetNodeInfo(const RkGuid* id, RkByteSink* sink) override;
  void Reserved25() override {}
  void Reserved26() override {}
  void Reserved27() override {}
  void Reserved28() override {}
  void Reserved29() override {}
  bool GetAllUrlNotes(RkByteSink* sink) override;
  bool GetBookmarkUrlNotes(int32_t type, std::string* out) override;
  void Reserved32() override {}
  bool SetNoteUrl(const RkGuid* id, const char16_t* url, int32_t from) override;
  void Reserved34() override {}
  void Reserved35() override {}
  void Reserved36() override {}
  void Reserved37() override {}
  void Reserved38() override {}
  void Reserved39() override {}
  void Reserved40() override {}
  void Reserved41() override {}
  void Reserved42() override {}
  void Reserved43() override {}
  void Reserved44() override {}
  void Reserved45() override {}
  bool GetNoteMeta(std::string* out, bool force) override;
  void Reserved47() override {}
  bool ImportBookmarks(const std::u16string* body, std::string* out) override;
  bool DownloadNodes() override;
  bool SaveResource(const char16_t* name, const uint8_t* data, int32_t length, int32_t kind,
                    const char16_t* extension, RkByteSink* sink) override;
  bool GetNoteContentPath(const RkGuid* id, RkByteSink* sink, bool flag) override;
  int32_t SaveContent(const RkGuid* id, const char* html, int32_t length, int32_t version, bool has_resources,
                      int32_t from) override;
  bool ClearNoteResources(const RkGuid* id) override;
  void Reserved54() override {}
  void Reserved55() override {}
  bool CreateFolder(const RkGuid* parent, const char16_t* name, int32_t flags, int32_t order, const RkGuid* id,
                    bool notify) override;
  bool CreateNote(const RkGuid* parent, const char16_t* name, int32_t flags, int32_t et, const char16_t* url,
                  const char16_t* sum, const char16_t* tu, int32_t version, const RkGuid* id, bool notify) override;
  void Reserved58() override {}
  void Reserved59() override {}
  void Reserved60() override {}
  void Reserved61() override {}
  void Reserved62() override {}
  void Reserved63() override {}
  void Reserved64() override {}
  void Reserved65() override {}
  int32_t CountChildren(const RkGuid* id) override;
  void Reserved67() override {}
  void Reserved68() override {}
  bool GetNodesUnder(const RkGuid* root, RkByteSink* sink) override;
  void Reserved70() override {}
  void Reserved71() override {}
  void Reserved72() override {}
  void Reserved73() override {}
  int32_t GetUrlNoteCount(const char16_t* url) override;
  void Reserved75() override {}
  void Reserved76() override {}
  void Reserved77() override {}
  void Reserved78() override {}
  void Reserved79() override {}
  bool GetNodePath(const RkGuid* id, RkByteSink* sink) override;
  int32_t GetSyncStatus() override;
  int32_t GetNoteVersion(const RkGuid* id) override;
  void GetLastSyncStatus(int32_t* version, int64_t* sync_time, int32_t* err_code, int32_t* is_syncing) override;
  bool ResetSyncVersion(const std::vector<RkGuid>* ids) override;
  void Reserved85() override {}
  int32_t DownloadNoteContent(const RkGuid* id) override;
  void RequestMissingContent(const RkGuid* id) override;
  void Reserved88() override {}
  void Reserved89() override {}
  bool TestHttpRes(RkByteSink* sink) override;

  // Test flavour: calls the observer on the worker; false when no callback
  // could run. Waits for it.
  bool FireOnWorker(const std::function<void(RkKivvetObserver*)>& call);

 private:
  RkKivvetStore store_;
  RkKivvetWorker worker_;
  RkKivvetSync sync_{&store_, &worker_};
};

}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_RK_KIVVET_ENGINE_H_
