#include "rk_kivvet_engine.h"

#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

#include "rk_kivvet_protocol.h"
#include "rk_kivvet_text.h"

#ifdef RK_KIVVET_TESTING
#include "rk_kivvet_test_registry.h"
// Records what an operation got (rk_kivvet_testing.h); nothing, arguments
// unevaluated, in the shipped engine.
#define RK_KIVVET_TEST_CALL(...) RecordTestCall({__VA_ARGS__})
#else
// Unevaluated: the arguments count as used.
#define RK_KIVVET_TEST_CALL(...) static_cast<void>(sizeof(std::initializer_list<std::string>{__VA_ARGS__}))
#endif

namespace rkkivvet {
namespace {

// Nothing thrown inside may leave through the table.
template <typename T, typename F>
T Guarded(T fallback, F&& body) {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

template <typename F>
void Guarded(F&& body) {
  try {
    body();
  } catch (...) {
  }
}

bool WriteTo(RkByteSink* sink, const std::string& text) {
  uint8_t* bytes = sink->Grow(text.size());
  if (bytes == nullptr) return false;
  if (!text.empty()) std::memcpy(bytes, text.data(), text.size());
  return true;
}

// Answers through the sink only when the answer is complete.
template <typename F>
bool AnswerTo(RkByteSink* sink, F&& produce) {
  if (sink == nullptr) return false;
  std::string text;
  return produce(&text) && WriteTo(sink, text);
}

constexpr int32_t kIdleState = 0;

}  // namespace

RkKivvetEngine::RkKivvetEngine() {
#ifdef RK_KIVVET_TESTING
  RegisterTestEngine(this);
#endif
}

RkKivvetEngine::~RkKivvetEngine() {
#ifdef RK_KIVVET_TESTING
  UnregisterTestEngine(this);
#endif
  worker_.Stop();
}

bool RkKivvetEngine::InitSync(const char16_t* uid, const char16_t* did, const char16_t* key, const char16_t* app,
                              const char16_t* host, const char16_t* res_host, const char16_t* cver,
                              int32_t vip_level) {
  return Guarded(false, [&] {
    return sync_.Init({Utf16ToUtf8(uid), Utf16ToUtf8(did), Utf16ToUtf8(key), Utf16ToUtf8(app), Utf16ToUtf8(host),
                       Utf16ToUtf8(res_host), Utf16ToUtf8(cver), vip_level});
  });
}

bool RkKivvetEngine::DoSync() {
  return Guarded(false, [&] { return sync_.QueueRun(true); });
}

void RkKivvetEngine::Shutdown() {
  Guarded([&] { worker_.Stop(); });
}

void RkKivvetEngine::CloseStore() {
  Guarded([&] { store_.Close(); });
}

bool RkKivvetEngine::OpenStore(const char16_t* path, const char16_t* name) {
  return Guarded(false, [&] {
    const std::string file = Utf16ToUtf8(path);
    return !file.empty() && store_.Open(std::filesystem::u8path(file), Utf16ToUtf8(name));
  });
}

void RkKivvetEngine::ReleaseStore() {
  Guarded([&] { store_.Release(); });
}

void RkKivvetEngine::SetObserver(RkKivvetObserver* observer) {
  Guarded([&] {
    worker_.SetObserver(observer);
    if (observer == nullptr) return;
    // The new observer hears the state at once, on the worker, before this
    // returns.
    worker_.RunAndWait(
        [this] { worker_.Notify([](RkKivvetObserver* o) { o->OnSyncNotify2(kIdleState, 0, "idle"); }); }, true);
  });
}

void RkKivvetEngine::EnterGuestMode() {
  Guarded([&] { sync_.EnterGuestMode(); });
}

void RkKivvetEngine::GetRootId(RkGuid* id) {
  if (id == nullptr) return;
  *id = RkGuid{};
  Guarded([&] { TextToGuid(store_.RootId(), id); });
}

int32_t RkKivvetEngine::SetFolderMinimalist(const RkGuid* id, int32_t from) {
  return Guarded(0, [&] {
    RK_KIVVET_TEST_CALL("SetFolderMinimalist", IdText(id), std::to_string(from));
    return store_.ToggleMinimalist(IdText(id));
  });
}

bool RkKivvetEngine::AddFavorite(const RkGuid* id, RkGuid* new_id, int32_t flags) {
  return Guarded(false, [&] {
    RK_KIVVET_TEST_CALL("AddFavorite", IdText(id), std::to_string(flags));
    std::string favorite;
    if (!store_.AddFavorite(IdText(id), flags, &favorite)) return false;
    if (new_id != nullptr) TextToGuid(favorite, new_id);
    return true;
  });
}

bool RkKivvetEngine::RemoveFavorite(const RkGuid* id, int32_t flags) {
  return Guarded(false, [&] {
    RK_KIVVET_TEST_CALL("RemoveFavorite", IdText(id), std::to_string(flags));
    return store_.RemoveFavorite(IdText(id));
  });
}

bool RkKivvetEngine::GetNodeInfo(const RkGuid* id, RkByteSink* sink) {
  return Guarded(false, [&] { return AnswerTo(sink, [&](std::string* t) { return store_.NodeInfo(IdText(id), t); }); });
}

bool RkKivvetEngine::GetAllUrlNotes(RkByteSink* sink) {
  return Guarded(false, [&] { return AnswerTo(sink, [&](std::string* t) { return store_.UrlNotes(0, t); }); });
}

bool RkKivvetEngine::GetBookmarkUrlNotes(int32_t type, std::string* out) {
  return Guarded(false, [&] {
    RK_KIVVET_TEST_CALL("GetBookmarkUrlNotes", std::to_string(type));
    return out != nullptr && store_.UrlNotes(type, out);
  });
}

bool RkKivvetEngine::SetNoteUrl(const RkGuid* id, const char16_t* url, int32_t from) {
  return Guarded(false, [&] {
    RK_KIVVET_TEST_CALL("SetNoteUrl", IdText(id), Utf16ToUtf8(url), std::to_string(from));
    return url != nullptr && store_.SetNoteUrl(IdText(id), Utf16ToUtf8(url));
  });
}

bool RkKivvetEngine::GetNoteMeta(std::string* out, bool force) {
  return Guarded(false, [&] {
    RK_KIVVET_TEST_CALL("GetNoteMeta", force ? "1" : "0");
    return out != nullptr && store_.NoteMeta(out);
  });
}

bool RkKivvetEngine::ImportBookmarks(const std::u16string* body, std::string* out) {
  return Guarded(false, [&] {
    RK_KIVVET_TEST_CALL("ImportBookmarks", body != nullptr ? Utf16ToUtf8(*body) : std::string("(null)"));
    int32_t count = 0;
    const bool ok = body != nullptr && out != nullptr && store_.ImportBookmarks(Utf16ToUtf8(*body), &count);
    if (ok) *out = protocol::Dump({{"count", count}});
    worker_.Post([this, ok] { worker_.Notify([ok](RkKivvetObserver* o) { o->OnImportData(nullptr, ok); }); });
    return ok;
  });
}

bool RkKivvetEngine::DownloadNodes() {
  return Guarded(false, [&] { return sync_.QueueRun(false); });
}

bool RkKivvetEngine::SaveResource(const char16_t* name, const uint8_t* data, int32_t length, int32_t,
                                  const char16_t* extension, RkByteSink* sink) {
  return Guarded(false, [&] {
    return AnswerTo(sink, [&](std::string* reference) {
      return store_.SaveResource(Utf16ToUtf8(name), data, length, Utf16ToUtf8(extension), reference);
    });
  });
}

bool RkKivvetEngine::GetNoteContentPath(const RkGuid* id, RkByteSink* sink, bool flag) {
  return Guarded(false, [&] {
    RK_KIVVET_TEST_CALL("GetNoteContentPath", IdText(id), flag ? "1" : "0");
#ifdef RK_KIVVET_TESTING
    std::string chosen;
    if (TestContentPath(IdText(id), &chosen)) {
      return AnswerTo(sink, [&](std::string* path) {
        *path = chosen;
        return true;
      });
    }
#endif
    return AnswerTo(sink, [&](std::string* path) { return store_.ContentPath(IdText(id), path); });
  });
}

int32_t RkKivvetEngine::SaveContent(const RkGuid* id, const char* html, int32_t length, int32_t version,
                                    bool has_resources, int32_t from) {
  return Guarded(3, [&] {
    RK_KIVVET_TEST_CALL("SaveContent", IdText(id), std::to_string(length), std::to_string(version),
                        has_resources ? "1" : "0", std::to_string(from));
    return store_.SaveContent(IdText(id), html, length, has_resources);
  });
}

bool RkKivvetEngine::ClearNoteResources(const RkGuid* id) {
  return Guarded(false, [&] {
    RK_KIVVET_TEST_CALL("ClearNoteResources", IdText(id));
    return store_.ClearNoteResources(IdText(id));
  });
}

bool RkKivvetEngine::CreateFolder(const RkGuid* parent, const char16_t* name, int32_t, int32_t, const RkGuid* id,
                                  bool) {
  return Guarded(false, [&] { return store_.CreateFolder(IdText(parent), IdText(id), Utf16ToUtf8(name)); });
}

bool RkKivvetEngine::CreateNote(const RkGuid* parent, const char16_t* name, int32_t, int32_t et, const char16_t* url,
                                const char16_t* sum, const char16_t* tu, int32_t version, const RkGuid* id, bool) {
  return Guarded(false, [&] {
    // A negative et is how the store tells a folder; a note never has one.
    return et >= 0 && store_.CreateNote({IdText(parent), IdText(id), Utf16ToUtf8(name), et, Utf16ToUtf8(url),
                                         Utf16ToUtf8(sum), Utf16ToUtf8(tu), version});
  });
}

int32_t RkKivvetEngine::CountChildren(const RkGuid* id) {
  return Guarded(-1, [&] { return store_.CountChildren(IdText(id)); });
}

bool RkKivvetEngine::GetNodesUnder(const RkGuid* root, RkByteSink* sink) {
  return Guarded(false, [&] {
#ifdef RK_KIVVET_TESTING
    std::string chosen;
    if (TestNodesUnder(&chosen)) return sink != nullptr && WriteTo(sink, chosen);
#endif
    return store_.NodesUnder(IdText(root), sink);
  });
}

int32_t RkKivvetEngine::GetUrlNoteCount(const char16_t* url) {
  return Guarded(0, [&] { return store_.UrlNoteCount(Utf16ToUtf8(url)); });
}

bool RkKivvetEngine::GetNodePath(const RkGuid* id, RkByteSink* sink) {
  return Guarded(false, [&] { return AnswerTo(sink, [&](std::string* t) { return store_.NodePath(IdText(id), t); }); });
}

int32_t RkKivvetEngine::GetSyncStatus() { return sync_.Busy(); }

int32_t RkKivvetEngine::GetNoteVersion(const RkGuid* id) {
  return Guarded(-1, [&] { return store_.NoteVersion(IdText(id)); });
}

void RkKivvetEngine::GetLastSyncStatus(int32_t* version, int64_t* sync_time, int32_t* err_code,
                                       int32_t* is_syncing) {
  Guarded([&] {
    RkKivvetSyncState state;
    store_.LastSync(&state);
    if (version != nullptr) *version = static_cast<int32_t>(state.usn);
    if (sync_time != nullptr) *sync_time = state.time;
    if (err_code != nullptr) *err_code = state.error;
    if (is_syncing != nullptr) *is_syncing = sync_.Busy();
  });
}

bool RkKivvetEngine::ResetSyncVersion(const std::vector<RkGuid>* ids) {
  return Guarded(false, [&] {
    if (ids == nullptr) return false;
#ifdef RK_KIVVET_TESTING
    RecordTestReset(*ids);
#endif
    std::vector<std::string> texts;
    for (const RkGuid& id : *ids) {
      std::string text = IdText(&id);
      if (!text.empty()) texts.push_back(std::move(text));
    }
    return store_.ResetSyncVersion(texts);
  });
}

int32_t RkKivvetEngine::DownloadNoteContent(const RkGuid* id) {
  return Guarded(0, [&] {
    RK_KIVVET_TEST_CALL("DownloadNoteContent", IdText(id));
    return sync_.QueueContentFetch(IdText(id), false);
  });
}

void RkKivvetEngine::RequestMissingContent(const RkGuid* id) {
  Guarded([&] {
    RK_KIVVET_TEST_CALL("RequestMissingContent", IdText(id));
    sync_.QueueContentFetch(IdText(id), true);
  });
}

bool RkKivvetEngine::TestHttpRes(RkByteSink* sink) {
  return Guarded(false, [&] { return AnswerTo(sink, [&](std::string* t) { return sync_.Describe(t); }); });
}

bool RkKivvetEngine::FireOnWorker(const std::function<void(RkKivvetObserver*)>& call) {
  bool called = false;
  worker_.RunAndWait([&] { called = worker_.Notify(call); }, false);
  return called;
}

}  // namespace rkkivvet

bool CreateRkNoteSyncStorage(rkkivvet::RkNoteSyncStorage** storage) {
  if (storage == nullptr) return false;
  try {
    *storage = new rkkivvet::RkKivvetEngine();
  } catch (...) {
    *storage = nullptr;
  }
  return *storage != nullptr;
}

void DeleteRkNoteSyncStorage(rkkivvet::RkNoteSyncStorage** storage) {
  if (storage == nullptr || *storage == nullptr) return;
  delete static_cast<rkkivvet::RkKivvetEngine*>(*storage);
  *storage = nullptr;
}
