#include "kivvet/adaptor/win/rk_kivvetmgr_v2_win.h"

#include <exception>
#include <iostream>
#include <system_error>

#include "kivvet/adaptor/win/rk_default_notes.h"
#include "kivvet/rk_byte_vector_sink.h"
#include "kivvet/rk_kivvet_guid.h"
#include "platform/rk_platform.h"
#include "rk_logger.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

namespace fs = std::filesystem;

// The name a new store is recorded under: these around the user id.
constexpr char16_t kStoreNamePrefix[] = u"RkNotes.";
constexpr char16_t kStoreNameSuffix[] = u".v2";
static_assert(sizeof(kStoreNamePrefix) / sizeof(char16_t) - 1 == 8, "8-character prefix");
static_assert(sizeof(kStoreNameSuffix) / sizeof(char16_t) - 1 == 3, "3-character suffix");

constexpr char kGuestUser[] = "guest";

bool IsZeroGuid(const rkkivvet::RkGuid& guid) { return FromEngineGuid(guid) == GUID{}; }

}  // namespace

RkKivvetMgrV2Win::RkKivvetMgrV2Win(const std::string& user_id, const std::string& notes_dir)
    : user_id_(user_id), notes_dir_(notes_dir) {
  RkLogWarn("RkKivvetMgrV2Win created for {0}, {1}", user_id_, notes_dir_);
}

RkKivvetMgrV2Win::~RkKivvetMgrV2Win() {
  platform::DebugOutput("[RkKivvet] ~RkKivvetMgrV2Win");
  RkLogWarn("RkKivvetMgrV2Win destoring {0}", user_id_);
  if (storage_ != nullptr) {
    storage_->Shutdown();
    // Returns once no callback runs any more, so the observer may go next.
    storage_->SetObserver(nullptr);
    DeleteStorage();
  }
}

bool RkKivvetMgrV2Win::Init(rkkivvet::RkKivvetObserver* observer) {
  user_id_w_ = Utf8ToWide(user_id_);
  if (inited_) return true;
  if (!InitStorage()) {
    std::cout << "InitStorage error" << std::endl;
    RkLogError("InitStorage error");
    return false;
  }
  storage_->SetObserver(observer);
  if (user_id_ == kGuestUser) storage_->EnterGuestMode();
  inited_ = true;
  RkLogTrace("RkKivvetMgrV2Win inited OK");
  return true;
}

bool RkKivvetMgrV2Win::LoadLibrary(const fs::path& module_dir) {
  const fs::path path = module_dir / kRkKivvetLibraryName;
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    RkLogError("path {0} NOT exists, please check it", path.u8string());
    return false;
  }
  std::string error;
  void* module = platform::LoadNativeLibrary(path, &error);
  if (module == nullptr) {
    RkLogError("LoadLibrary {0} with error {1}", path.u8string(), error);
    return false;
  }
  RkLogInfo("load library {0} OK", path.u8string());
  // The module stays loaded even when a function is missing.
  void* create = platform::GetFunctionPointer(module, rkkivvet::kRkNoteSyncStorageCreateName, &error);
  if (create == nullptr) {
    RkLogError("load function {0} error. {1} ", rkkivvet::kRkNoteSyncStorageCreateName, error);
    return false;
  }
  void* destroy = platform::GetFunctionPointer(module, rkkivvet::kRkNoteSyncStorageDeleteName, &error);
  if (destroy == nullptr) {
    RkLogError("load function {0} error. {1} ", rkkivvet::kRkNoteSyncStorageDeleteName, error);
    return false;
  }
  library_ = std::make_unique<RkKivvetLibrary>();
  library_->module = module;
  library_->fun_create_note_storage_ = reinterpret_cast<rkkivvet::RkNoteSyncStorageCreateFn>(create);
  library_->fun_delete_note_storage_ = reinterpret_cast<rkkivvet::RkNoteSyncStorageDeleteFn>(destroy);
  return true;
}

void RkKivvetMgrV2Win::DeleteStorage() {
  library_->fun_delete_note_storage_(&storage_);
  storage_ = nullptr;
}

std::u16string RkKivvetMgrV2Win::MakeStoreName() const { return kStoreNamePrefix + user_id_w_ + kStoreNameSuffix; }

bool RkKivvetMgrV2Win::InitStorage() {
  if (store_opened_) return true;
  const fs::path module_dir = platform::ServiceLibraryDir();
  if (module_dir.empty()) {
    RkLogError("GetModuleFileName for rkservice.dll or rkservice.dll returns 0");
    return false;
  }
  if (!library_ && !LoadLibrary(module_dir)) return false;

  if (storage_ == nullptr) {
    const int line = __LINE__ + 1;
    if (!library_->fun_create_note_storage_(&storage_) || storage_ == nullptr) {
      RkLogError("{0}:{1}fun_create_note_storage_ error", __FILE__, line);
      storage_ = nullptr;
      return false;
    }
  }

  fs::path notes_dir = fs::u8path(notes_dir_);
  if (notes_dir_.empty()) {
    RkLogInfo("note path {0} not exists, will create it", notes_dir_);
    notes_dir = module_dir / "Kivvet";
  }
  std::error_code ec;
  if (!fs::is_directory(notes_dir, ec)) {
    fs::create_directories(notes_dir, ec);
    if (!fs::is_directory(notes_dir, ec)) {
      RkLogError("can not create path:{0}", notes_dir.u8string());
      DeleteStorage();
      return false;
    }
  }
  notes_path_ = notes_dir;

  const fs::path store_file = notes_dir / kRkKivvetStoreFile;
  const std::u16string store_name = MakeStoreName();
  const bool existed = fs::exists(store_file, ec);
  store_opened_ = storage_->OpenStore(Utf8ToWide(store_file.u8string()).c_str(), store_name.c_str());
  if (!store_opened_) {
    RkLogError("can not init storage:{0}", store_file.u8string());
    DeleteStorage();
    return false;
  }

  rkkivvet::RkGuid root{};
  storage_->GetRootId(&root);
  const bool empty = !existed || IsZeroGuid(root) || storage_->CountChildren(&root) <= 0;
  if (!empty) return true;

  const std::string locale = platform::UserLocaleName();
  RkLogInfo("local language is: {0}", locale);
  const fs::path archive = DefaultNotesArchivePath(module_dir, locale);
  RkLogInfo("will init default note with:{0}", archive.u8string());
  if (ImportDefaultNotes(archive)) return true;

  storage_->CloseStore();
  storage_->ReleaseStore();
  // As every other failure here: no engine is left for the routes to reach.
  DeleteStorage();
  store_opened_ = false;
  // Only a file this call created goes: an existing store whose root reads
  // empty may still hold a user's notes.
  if (!existed) {
    fs::remove(store_file, ec);
  } else {
    RkLogWarn("default notes not imported; keeping the existing store {0}", store_file.u8string());
  }
  return false;
}

bool RkKivvetMgrV2Win::ImportDefaultNotes(const fs::path& archive) {
  // Runs inside the notes handler's constructor: nothing may leave by
  // exception.
  try {
    RkArchiveEntries entries;
    if (!LoadDefaultNotesArchive(archive, &entries)) return false;
    std::vector<DefaultNodeRecord> records;
    if (!ReadDefaultNodes(entries, &records)) return false;

    const std::u16string root_id = GetRootId();
    for (const DefaultNodeRecord& record : records) {
      if (record.kind == 0) {
        CreateFolder(root_id, record.name, record.uuid);
      } else if (record.kind == 1 && record.et != 0) {
        CreateNote(kDefaultUrlNotesParent, record.name, record.et, record.url, record.sum, record.tu, record.uuid);
      } else if (record.kind == 1) {
        ImportDefaultNote(entries, record);
      }
    }
    // Also when nothing was created.
    AddFavorite(kDefaultContentNotesParent, nullptr, kDefaultFavoriteFlags);
    return true;
  } catch (const std::exception& e) {
    RkLogError("can not import the default notes from {0}: {1}", archive.u8string(), e.what());
    return false;
  }
}

void RkKivvetMgrV2Win::ImportDefaultNote(const RkArchiveEntries& entries, const DefaultNodeRecord& record) {
  std::string html_template;
  std::string image;
  if (!FindDefaultNoteContent(entries, record.uuid, &html_template, &image)) return;
  if (image.size() > static_cast<size_t>(INT32_MAX)) return;
  std::vector<uint8_t> reference;
  RkByteVectorSink sink(&reference);
  if (!SaveResource(Utf8ToWide(Md5HexUpper(image)), reinterpret_cast<const uint8_t*>(image.data()),
                    static_cast<int>(image.size()), kDefaultResourceKind, u"png", &sink)) {
    return;
  }
  CreateNote(kDefaultContentNotesParent, record.name, record.et, record.url, record.sum, record.tu, record.uuid);
  SaveContent(record.uuid, ExpandNoteTemplate(html_template, sink.Text()), -1, true, -1);
}

bool RkKivvetMgrV2Win::InitSync(const std::u16string& uid, const std::u16string& did, const std::u16string& key,
                                const std::u16string& app, const std::u16string& host,
                                const std::u16string& res_host, const std::u16string& cver, int vip_level) {
  if (storage_ == nullptr) return false;
  return storage_->InitSync(uid.c_str(), did.c_str(), key.c_str(), app.c_str(), host.c_str(), res_host.c_str(),
                            cver.c_str(), vip_level);
}

bool RkKivvetMgrV2Win::DoSync() {
  if (storage_ == nullptr) return false;
  storage_->DoSync();
  return true;
}

int RkKivvetMgrV2Win::SetFolderMinimalist(const std::u16string& id, int from) {
  if (storage_ == nullptr) return 0;
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  return storage_->SetFolderMinimalist(&guid, from);
}

bool RkKivvetMgrV2Win::AddFavorite(const std::u16string& id, std::u16string* new_id, int flags) {
  if (storage_ == nullptr) return false;
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  rkkivvet::RkGuid added{};
  const bool ok = storage_->AddFavorite(&guid, &added, flags);
  if (new_id != nullptr) *new_id = EngineGuidText(&added);
  return ok;
}

bool RkKivvetMgrV2Win::RemoveFavorite(const std::u16string& id, int flags) {
  if (storage_ == nullptr) return false;
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  return storage_->RemoveFavorite(&guid, flags);
}

bool RkKivvetMgrV2Win::GetNodeInfo(const std::u16string& id, rkkivvet::RkByteSink* sink) {
  if (storage_ == nullptr) return false;
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  return storage_->GetNodeInfo(&guid, sink);
}

bool RkKivvetMgrV2Win::GetAllUrlNotes(rkkivvet::RkByteSink* sink) {
  if (storage_ == nullptr) return false;
  return storage_->GetAllUrlNotes(sink);
}

bool RkKivvetMgrV2Win::GetBookmarkUrlNotes(int type, std::string* out) {
  if (storage_ == nullptr) return false;
  return storage_->GetBookmarkUrlNotes(type, out);
}

bool RkKivvetMgrV2Win::SetNoteUrl(const std::u16string& id, const std::u16string& url, int from) {
  if (storage_ == nullptr) return false;
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  return storage_->SetNoteUrl(&guid, url.c_str(), from);
}

bool RkKivvetMgrV2Win::GetNoteMeta(std::string* out, bool force) {
  if (storage_ == nullptr) return false;
  return storage_->GetNoteMeta(out, force);
}

bool RkKivvetMgrV2Win::ImportBookmarks(const std::u16string& body, std::string* out) {
  if (storage_ == nullptr) return false;
  return storage_->ImportBookmarks(&body, out);
}

bool RkKivvetMgrV2Win::DownloadNodes() {
  if (storage_ == nullptr) return false;
  return storage_->DownloadNodes();
}

bool RkKivvetMgrV2Win::SaveResource(const std::u16string& name, const uint8_t* data, int length, int kind,
                                    const std::u16string& extension, rkkivvet::RkByteSink* sink) {
  if (storage_ == nullptr) return false;
  return storage_->SaveResource(name.c_str(), data, length, kind, extension.c_str(), sink);
}

bool RkKivvetMgrV2Win::GetNoteContentPath(const std::u16string& id, rkkivvet::RkByteSink* sink, bool flag) {
  if (storage_ == nullptr) return false;
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  return storage_->GetNoteContentPath(&guid, sink, flag);
}

int RkKivvetMgrV2Win::SaveContent(const std::u16string& id, const std::string& html, int version,
                                  bool has_resources, int from) {
  // Nothing was saved: not the engine's 0.
  if (storage_ == nullptr) return -1;
  // The engine takes a 32-bit length.
  if (html.size() > static_cast<size_t>(INT32_MAX)) return -1;
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  return storage_->SaveContent(&guid, html.data(), static_cast<int32_t>(html.size()), version, has_resources, from);
}

bool RkKivvetMgrV2Win::ClearNoteResources(const std::u16string& id) {
  if (storage_ == nullptr) return false;
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  return storage_->ClearNoteResources(&guid);
}

bool RkKivvetMgrV2Win::CreateFolder(const std::u16string& parent, const std::u16string& name,
                                    const std::u16string& id) {
  if (storage_ == nullptr) return false;
  const rkkivvet::RkGuid parent_guid = EngineGuidOf(parent);
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  return storage_->CreateFolder(&parent_guid, name.c_str(), 0, 0, &guid, false);
}

bool RkKivvetMgrV2Win::CreateNote(const std::u16string& parent, const std::u16string& name, int et,
                                  const std::u16string& url, const std::u16string& sum, const std::u16string& tu,
                                  const std::u16string& id) {
  if (storage_ == nullptr) return false;
  const rkkivvet::RkGuid parent_guid = EngineGuidOf(parent);
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  return storage_->CreateNote(&parent_guid, name.c_str(), 0, et, url.c_str(), sum.c_str(), tu.c_str(), -1, &guid,
                              false);
}

std::u16string RkKivvetMgrV2Win::GetRootId() {
  rkkivvet::RkGuid root{};
  if (storage_ != nullptr) storage_->GetRootId(&root);
  return EngineGuidText(&root);
}

bool RkKivvetMgrV2Win::GetNodesUnder(const std::u16string& root_id, rkkivvet::RkByteSink* sink) {
  if (storage_ == nullptr) return false;
  const rkkivvet::RkGuid guid = EngineGuidOf(root_id);
  return storage_->GetNodesUnder(&guid, sink);
}

int RkKivvetMgrV2Win::GetUrlNoteCount(const std::u16string& url) {
  if (storage_ == nullptr || url.empty()) return 0;
  return storage_->GetUrlNoteCount(url.c_str());
}

bool RkKivvetMgrV2Win::GetNodePath(const std::u16string& id, rkkivvet::RkByteSink* sink) {
  if (storage_ == nullptr) return false;
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  return storage_->GetNodePath(&guid, sink);
}

int RkKivvetMgrV2Win::GetSyncStatus() {
  if (storage_ == nullptr) return 0;
  return storage_->GetSyncStatus();
}

int RkKivvetMgrV2Win::GetNoteVersion(const std::u16string& id) {
  if (storage_ == nullptr) return -1;
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  return storage_->GetNoteVersion(&guid);
}

void RkKivvetMgrV2Win::GetLastSyncStatus(int* version, int64_t* sync_time, int* err_code, int* is_syncing) {
  if (storage_ == nullptr) return;
  storage_->GetLastSyncStatus(version, sync_time, err_code, is_syncing);
}

bool RkKivvetMgrV2Win::ResetSyncVersion() {
  if (storage_ == nullptr) return false;
  const fs::path module_dir = platform::ServiceLibraryDir();
  if (module_dir.empty()) {
    RkLogError("can not get hmodule {0}", "rkservice.dll");
    return false;
  }
  // Always the full archive's ids, whatever the interface language.
  const fs::path archive = module_dir / kDefaultNotesFolder / kDefaultNotesArchive;
  RkArchiveEntries entries;
  std::vector<GUID> ids;
  if (!LoadDefaultNotesArchive(archive, &entries) || !ReadResetIds(entries, archive, &ids)) return false;
  std::vector<rkkivvet::RkGuid> engine_ids;
  for (const GUID& id : ids) engine_ids.push_back(ToEngineGuid(id));
  return storage_->ResetSyncVersion(&engine_ids);
}

int RkKivvetMgrV2Win::DownloadNoteContent(const std::u16string& id) {
  if (storage_ == nullptr) return 0;
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  return storage_->DownloadNoteContent(&guid);
}

void RkKivvetMgrV2Win::RequestMissingContent(const std::u16string& id) {
  if (storage_ == nullptr) return;
  const rkkivvet::RkGuid guid = EngineGuidOf(id);
  storage_->RequestMissingContent(&guid);
}

bool RkKivvetMgrV2Win::TestHttpRes(rkkivvet::RkByteSink* sink) {
  if (storage_ == nullptr) return false;
  // The self-test runs for its log; its answer is not trusted as a result.
  storage_->TestHttpRes(sink);
  return false;
}

}  // namespace rkservice
