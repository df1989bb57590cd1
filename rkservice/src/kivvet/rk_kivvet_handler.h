// The per-user handler of every path under "/kivvet/": the route table, the
// query and sync routes, and the sink of the notes engine's events, which it
// turns into notifications to the browser.
#ifndef RKSERVICE_SRC_KIVVET_RK_KIVVET_HANDLER_H_
#define RKSERVICE_SRC_KIVVET_RK_KIVVET_HANDLER_H_

#include <cpprest/http_msg.h>
#include <cpprest/json.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "kivvet/rk_kivvet_event_sink.h"
#include "rk_rest_handler.h"

namespace rkservice {

class RkKivvetMgr;
class RkNotifySender;

class RkKivvetHandler : public RkRestHandler, public RkKivvetEventSink {
 public:
  // Loads the engine and opens the user's store; the handler serves also when
  // that fails, and its routes then answer as without an engine.
  RkKivvetHandler(const std::string& user_id, const std::string& notes_dir);
  ~RkKivvetHandler() override;

  void HandleGet(web::http::http_request request) override;
  void HandlePost(web::http::http_request request) override;
  void HandlePut(web::http::http_request request) override;
  void HandleOptions(web::http::http_request request) override;
  void HandleDelete(web::http::http_request request) override;
  void InitRoutes() override;
  // Read by engine threads when they make senders, so set under a lock.
  void SetNotifyHost(const utility::string_t& host) override;

  // Engine events, on the engine's thread.
  void OnSyncNotify(int code, int detail) override;
  void OnSyncNotify2(int code, int reason, const char* message) override;
  void OnSyncProgress(int type, int current, int total, const std::string& text) override;
  void OnDataUpdated(int event, const std::string& id) override;
  void OnDataConflict(int conflict_type, const std::string& id, const std::string& new_id, int from) override;
  void OnEngineEvent6(const char* text, void* data, int value, bool flag) override;
  void OnImportData(void* data, bool ok) override;
  void OnEngineEvent8() override;
  void OnEngineEvent9(const char* text, void* data, int value, bool flag) override;
  void OnDataChanged(int event, const char* data, int length, int from) override;
  void OnEngineEvent11(const char* text) override;
  void OnShareNoteResult(const char* key, const char* data, int length) override;
  void OnNoteFileDownload(int status, std::string id) override;

  // Appends every note and every folder that holds a note somewhere below it,
  // depth first, each with "paths": the names of its enclosing folders. A
  // folder loses its "nodes"; nodes that are not objects with an integer "ft"
  // are skipped. Takes the nodes out of `nodes`.
  static void FlattenNodeTree(web::json::array& nodes, web::json::array& output, web::json::array paths,
                              int& note_count);
  // The folder listing's reply through the JSON library: the engine's node
  // list parsed (past the library's own depth limit too), its "nodes"
  // flattened, {"nodes": the list} serialised. False when the text is not
  // JSON or not an object with a "nodes" array; *failure, when given, then
  // says which. RkNodeListFlattener gives the same bytes faster for most texts.
  static bool FlattenNodeListWithLibrary(const std::string& engine_text, std::string* reply,
                                         std::string* failure = nullptr);
  // Progress of long syncs is thinned near its end: within the last 50 steps
  // only multiples of total / 100 go out.
  static bool ShouldSendSyncProgress(int current, int total);

 private:
  using Sender = std::shared_ptr<RkNotifySender>;

  void Dispatch(const RkRouteMap& routes, web::http::http_request& request);

  // Query routes.
  bool Hit(web::http::http_request& request);
  bool GetAllUrlNotes(web::http::http_request& request);
  bool GetBookmarksAllUrlNotes(web::http::http_request& request);
  bool GetNoteMeta(web::http::http_request& request);
  bool GetPath(web::http::http_request& request);
  bool GetSyncStatus(web::http::http_request& request);
  bool GetSyncLastStatus(web::http::http_request& request);
  bool GetNoteUrlCount(web::http::http_request& request);
  bool TestHttpRes(web::http::http_request& request);
  // The folder mode of the two url-notes routes.
  bool ReplyFlattenedNodes(web::http::http_request& request);

  // Note data route.
  bool GetNoteData(web::http::http_request& request);

  // Change routes.
  bool Favorite(web::http::http_request& request, bool remove);
  bool SaveContent(web::http::http_request& request);
  bool DownloadNodes(web::http::http_request& request);
  bool ImportBookmarks(web::http::http_request& request);
  bool SetNoteUrl(web::http::http_request& request);
  bool SetFolderMinimalist(web::http::http_request& request);
  bool DownloadNoteContent(web::http::http_request& request);
  // The node's engine text, well-formed; found (when given) tells whether the
  // engine knew the node.
  utility::string_t NodeText(const std::u16string& id, bool* found);

  // Sync routes.
  bool InitSync(web::http::http_request& request);
  bool DoSync(web::http::http_request& request);
  bool InitAndSync(web::http::http_request& request);
  bool ResetSyncVersion(web::http::http_request& request);
  // Answers only when it fails; the caller answers success.
  bool InitSyncInternal(web::http::http_request& request);

  // The sender in `slot`, made on first use once the notify host is known;
  // null before that.
  Sender SenderFor(Sender& slot, const char* type);

  std::string user_id_;
  std::string notes_dir_;
  std::atomic<bool> sync_inited_{false};
  std::mutex sync_init_lock_;
  std::atomic<int> last_sync_code_{0};
  // Only 1 lets progress through; no sync has been reported yet.
  std::atomic<int> sync_state_{0};
  // Guards the notify host and the four sender slots; never held while sending.
  std::mutex notify_lock_;
  Sender sync_sender_;
  Sender data_changed_sender_;
  Sender data_conflict_sender_;
  Sender note_file_download_sender_;
  std::mutex share_lock_;
  std::map<std::string, web::http::http_request> pending_shares_;
  // Last, so it goes first also when construction fails: the engine's threads
  // stop before anything they reach is destroyed.
  std::unique_ptr<RkKivvetMgr> notes_mgr_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_KIVVET_HANDLER_H_
