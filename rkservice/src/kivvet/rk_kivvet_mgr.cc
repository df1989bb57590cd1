#include "kivvet/rk_kivvet_mgr.h"

#include "kivvet/adaptor/win/rk_kivvet_sync_observer.h"
#include "kivvet/adaptor/win/rk_kivvetmgr_v2_win.h"
#include "kivvet/rk_content_helper.h"
#include "rk_service_work.h"
#include "rk_utils.h"

namespace rkservice {

RkKivvetMgr::RkKivvetMgr(const std::string& user_id, const std::string& notes_dir)
    : impl_(std::make_unique<RkKivvetMgrV2Win>(user_id, notes_dir)) {}

RkKivvetMgr::~RkKivvetMgr() { impl_.reset(); }

bool RkKivvetMgr::Init(RkKivvetEventSink* sink) {
  sink_ = sink;
  // The engine may hold the first observer already; it is never replaced.
  if (!observer_) observer_ = std::make_unique<RkKivvetSyncObserver>(sink_);
  return impl_->Init(observer_.get());
}

int RkKivvetMgr::SaveContent(const std::u16string& id, const std::string& html, int version, int from) {
  const std::shared_ptr<RkContentHelper> helper = MakeContentHelper(this, WideToUtf8(id), html);
  if (!helper->Process()) return -1;
  // Its service stopped while the images came in: the client is gone, and a
  // note without the images it was sent with is not saved.
  if (RkServiceWork::CurrentStopping()) return -1;
  return impl_->SaveContent(id, helper->GetContent(), version, helper->HasResources(), from);
}

std::shared_ptr<RkContentHelper> RkKivvetMgr::MakeContentHelper(RkKivvetMgr* mgr, const std::string& id,
                                                                const std::string& html) {
  return std::make_shared<RkContentHelper>(mgr, id, html);
}

bool RkKivvetMgr::InitSync(const std::u16string& uid, const std::u16string& did, const std::u16string& key,
                           const std::u16string& app, const std::u16string& host, const std::u16string& res_host,
                           const std::u16string& cver, int vip_level) { return impl_->InitSync(uid, did, key, app, host, res_host, cver, vip_level); }

bool RkKivvetMgr::DoSync() { return impl_->DoSync(); }

int RkKivvetMgr::SetFolderMinimalist(const std::u16string& id, int from) { return impl_->SetFolderMinimalist(id, from); }

bool RkKivvetMgr::AddFavorite(const std::u16string& id, std::u16string* new_id, int flags) { return impl_->AddFavorite(id, new_id, flags); }

bool RkKivvetMgr::RemoveFavorite(const std::u16string& id, int flags) { return impl_->RemoveFavorite(id, flags); }

bool RkKivvetMgr::GetNodeInfo(const std::u16string& id, rkkivvet::RkByteSink* sink) { return impl_->GetNodeInfo(id, sink); }

bool RkKivvetMgr::GetAllUrlNotes(rkkivvet::RkByteSink* sink) { return impl_->GetAllUrlNotes(sink); }

bool RkKivvetMgr::GetBookmarkUrlNotes(int type, std::string* out) { return impl_->GetBookmarkUrlNotes(type, out); }

bool RkKivvetMgr::SetNoteUrl(const std::u16string& id, const std::u16string& url, int from) { return impl_->SetNoteUrl(id, url, from); }

bool RkKivvetMgr::GetNoteMeta(std::string* out, bool force) { return impl_->GetNoteMeta(out, force); }

bool RkKivvetMgr::ImportBookmarks(const std::u16string& body, std::string* out) { return impl_->ImportBookmarks(body, out); }

bool RkKivvetMgr::DownloadNodes() { return impl_->DownloadNodes(); }

bool RkKivvetMgr::SaveResource(const std::u16string& name, const uint8_t* data, int length, int kind,
                               const std::u16string& extension, rkkivvet::RkByteSink* sink) { return impl_->SaveResource(name, data, length, kind, extension, sink); }

bool RkKivvetMgr::GetNoteContentPath(const std::u16string& id, rkkivvet::RkByteSink* sink, bool flag) { return impl_->GetNoteContentPath(id, sink, flag); }

bool RkKivvetMgr::ClearNoteResources(const std::u16string& id) { return impl_->ClearNoteResources(id); }

bool RkKivvetMgr::GetNodesUnder(const std::u16string& root_id, rkkivvet::RkByteSink* sink) { return impl_->GetNodesUnder(root_id, sink); }

int RkKivvetMgr::GetUrlNoteCount(const std::u16string& url) { return impl_->GetUrlNoteCount(url); }

bool RkKivvetMgr::GetNodePath(const std::u16string& id, rkkivvet::RkByteSink* sink) { return impl_->GetNodePath(id, sink); }

int RkKivvetMgr::GetSyncStatus() { return impl_->GetSyncStatus(); }

int RkKivvetMgr::GetNoteVersion(const std::u16string& id) { return impl_->GetNoteVersion(id); }

void RkKivvetMgr::GetLastSyncStatus(int* version, int64_t* sync_time, int* err_code, int* is_syncing) { impl_->GetLastSyncStatus(version, sync_time, err_code, is_syncing); }

bool RkKivvetMgr::ResetSyncVersion() { return impl_->ResetSyncVersion(); }

int RkKivvetMgr::DownloadNoteContent(const std::u16string& id) { return impl_->DownloadNoteContent(id); }

void RkKivvetMgr::RequestMissingContent(const std::u16string& id) { impl_->RequestMissingContent(id); }

bool RkKivvetMgr::TestHttpRes(rkkivvet::RkByteSink* sink) { return impl_->TestHttpRes(sink); }

}  // namespace rkservice
