// The notes engine contract: every position of the engine table, the
// observer and the byte sink, called through the table slot by index as the
// other side of the library boundary calls it.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kivvet/rk_kivvet_interface.h"

namespace {

using rkkivvet::RkByteSink;
using rkkivvet::RkGuid;
using rkkivvet::RkKivvetObserver;
using rkkivvet::RkNoteSyncStorage;

// Calls table entry `slot` of the object's first table, as a caller built
// against another copy of the header would.
template <typename R = void, typename... A>
R CallSlot(void* object, size_t slot, A... args) {
  void** table = *static_cast<void***>(object);
  return reinterpret_cast<R (*)(void*, A...)>(table[slot])(object, args...);
}

#define RK_RESERVED(n) \
  void Reserved##n() override { ran = "Reserved" #n; }

// Each operation records its name (and the argument that tells it was
// passed through).
class TableProbe final : public RkNoteSyncStorage {
 public:
  std::string ran;

  RK_RESERVED(0)
  bool InitSync(const char16_t*, const char16_t*, const char16_t*, const char16_t*, const char16_t*, const char16_t*,
                const char16_t*, int32_t vip) override {
    ran = "InitSync " + std::to_string(vip);
    return true;
  }
  RK_RESERVED(2)
  RK_RESERVED(3)
  bool DoSync() override { return Ran("DoSync"); }
  void Shutdown() override { ran = "Shutdown"; }
  void CloseStore() override { ran = "CloseStore"; }
  bool OpenStore(const char16_t*, const char16_t*) override { return Ran("OpenStore"); }
  void ReleaseStore() override { ran = "ReleaseStore"; }
  void SetObserver(RkKivvetObserver*) override { ran = "SetObserver"; }
  void EnterGuestMode() override { ran = "EnterGuestMode"; }
  RK_RESERVED(11)
  void GetRootId(RkGuid*) override { ran = "GetRootId"; }
  RK_RESERVED(13)
  RK_RESERVED(14)
  RK_RESERVED(15)
  RK_RESERVED(16)
  int32_t SetFolderMinimalist(const RkGuid*, int32_t from) override {
    ran = "SetFolderMinimalist " + std::to_string(from);
    return 1;
  }
  RK_RESERVED(18)
  RK_RESERVED(19)
  RK_RESERVED(20)
  RK_RESERVED(21)
  bool AddFavorite(const RkGuid*, RkGuid*, int32_t flags) override {
    ran = "AddFavorite " + std::to_string(flags);
    return true;
  }
  bool RemoveFavorite(const RkGuid*, int32_t flags) override {
    ran = "RemoveFavorite " + std::to_string(flags);
    return true;
  }
  bool GetNodeInfo(const RkGuid*, RkByteSink*) override { return Ran("GetNodeInfo"); }
  RK_RESERVED(25)
  RK_RESERVED(26)
  RK_RESERVED(27)
  RK_RESERVED(28)
  RK_RESERVED(29)
  bool GetAllUrlNotes(RkByteSink*) override { return Ran("GetAllUrlNotes"); }
  bool GetBookmarkUrlNotes(int32_t type, std::string*) override {
    ran = "GetBookmarkUrlNotes " + std::to_string(type);
    return true;
  }
  RK_RESERVED(32)
  bool SetNoteUrl(const RkGuid*, const char16_t*, int32_t from) override {
    ran = "SetNoteUrl " + std::to_string(from);
    return true;
  }
  RK_RESERVED(34)
  RK_RESERVED(35)
  RK_RESERVED(36)
  RK_RESERVED(37)
  RK_RESERVED(38)
  RK_RESERVED(39)
  RK_RESERVED(40)
  RK_RESERVED(41)
  RK_RESERVED(42)
  RK_RESERVED(43)
  RK_RESERVED(44)
  RK_RESERVED(45)
  bool GetNoteMeta(std::string*, bool force) override { return Ran(force ? "GetNoteMeta force" : "GetNoteMeta"); }
  RK_RESERVED(47)
  bool ImportBookmarks(const std::u16string*, std::string*) override { return Ran("ImportBookmarks"); }
  bool DownloadNodes() override { return Ran("DownloadNodes"); }
  bool SaveResource(const char16_t*, const uint8_t*, int32_t length, int32_t kind, const char16_t*,
                    RkByteSink*) override {
    ran = "SaveResource " + std::to_string(length) + " " + std::to_string(kind);
    return true;
  }
  bool GetNoteContentPath(const RkGuid*, RkByteSink*, bool flag) override {
    return Ran(flag ? "GetNoteContentPath true" : "GetNoteContentPath");
  }
  int32_t SaveContent(const RkGuid*, const char*, int32_t length, int32_t version, bool, int32_t from) override {
    ran = "SaveContent " + std::to_string(length) + " " + std::to_string(version) + " " + std::to_string(from);
    return 7;
  }
  bool ClearNoteResources(const RkGuid*) override { return Ran("ClearNoteResources"); }
  RK_RESERVED(54)
  RK_RESERVED(55)
  bool CreateFolder(const RkGuid*, const char16_t*, int32_t, int32_t, const RkGuid*, bool) override {
    return Ran("CreateFolder");
  }
  bool CreateNote(const RkGuid*, const char16_t*, int32_t, int32_t et, const char16_t*, const char16_t*,
                  const char16_t*, int32_t version, const RkGuid*, bool) override {
    ran = "CreateNote " + std::to_string(et) + " " + std::to_string(version);
    return true;
  }
  RK_RESERVED(58)
  RK_RESERVED(59)
  RK_RESERVED(60)
  RK_RESERVED(61)
  RK_RESERVED(62)
  RK_RESERVED(63)
  RK_RESERVED(64)
  RK_RESERVED(65)
  int32_t CountChildren(const RkGuid*) override {
    ran = "CountChildren";
    return 66;
  }
  RK_RESERVED(67)
  RK_RESERVED(68)
  bool GetNodesUnder(const RkGuid*, RkByteSink*) override { return Ran("GetNodesUnder"); }
  RK_RESERVED(70)
  RK_RESERVED(71)
  RK_RESERVED(72)
  RK_RESERVED(73)
  int32_t GetUrlNoteCount(const char16_t*) override {
    ran = "GetUrlNoteCount";
    return 74;
  }
  RK_RESERVED(75)
  RK_RESERVED(76)
  RK_RESERVED(77)
  RK_RESERVED(78)
  RK_RESERVED(79)
  bool GetNodePath(const RkGuid*, RkByteSink*) override { return Ran("GetNodePath"); }
  int32_t GetSyncStatus() override {
    ran = "GetSyncStatus";
    return 81;
  }
  int32_t GetNoteVersion(const RkGuid*) override {
    ran = "GetNoteVersion";
    return 82;
  }
  void GetLastSyncStatus(int32_t* version, int64_t* time, int32_t* err, int32_t* syncing) override {
    ran = "GetLastSyncStatus";
    *version = 1;
    *time = int64_t{1} << 40;
    *err = 3;
    *syncing = 4;
  }
  bool ResetSyncVersion(const std::vector<RkGuid>* ids) override {
    ran = "ResetSyncVersion " + std::to_string(ids->size());
    return true;
  }
  RK_RESERVED(85)
  int32_t DownloadNoteContent(const RkGuid*) override {
    ran = "DownloadNoteContent";
    return 86;
  }
  void RequestMissingContent(const RkGuid*) override { ran = "RequestMissingContent"; }
  RK_RESERVED(88)
  RK_RESERVED(89)
  bool TestHttpRes(RkByteSink*) override { return Ran("TestHttpRes"); }

 private:
  bool Ran(const char* name) {
    ran = name;
    return true;
  }
};

class ObserverProbe final : public RkKivvetObserver {
 public:
  std::string ran;

  void Reserved0() override { ran = "Reserved0"; }
  void OnSyncNotify(int32_t code, int32_t detail) override { ran = "OnSyncNotify " + N(code) + " " + N(detail); }
  void OnSyncNotify2(int32_t code, int32_t reason, const char* message) override {
    ran = "OnSyncNotify2 " + N(code) + " " + N(reason) + " " + message;
  }
  void OnSyncProgress(int32_t type, int32_t current, int32_t total, const char* text) override {
    ran = "OnSyncProgress " + N(type) + " " + N(current) + " " + N(total) + " " + text;
  }
  void OnDataUpdated(int32_t event, const RkGuid* id) override { ran = "OnDataUpdated " + N(event) + " " + N(id->data1); }
  void OnDataConflict(int32_t type, const RkGuid* id, const RkGuid* new_id, int32_t from) override {
    ran = "OnDataConflict " + N(type) + " " + N(id->data1) + " " + N(new_id->data1) + " " + N(from);
  }
  void OnEngineEvent6(const char16_t*, void*, int32_t value, bool flag) override {
    ran = "OnEngineEvent6 " + N(value) + " " + N(flag);
  }
  void OnImportData(void*, bool ok) override { ran = "OnImportData " + N(ok); }
  void OnEngineEvent8() override { ran = "OnEngineEvent8"; }
  void OnEngineEvent9(const char16_t*, void*, int32_t value, bool flag) override {
    ran = "OnEngineEvent9 " + N(value) + " " + N(flag);
  }
  void OnDataChanged(int32_t event, const char* data, int32_t length, int32_t from) override {
    ran = "OnDataChanged " + N(event) + " " + std::string(data, length) + " " + N(from);
  }
  void OnEngineEvent11(const char16_t*) override { ran = "OnEngineEvent11"; }
  void OnShareNoteResult(const char16_t*, const char* data, int32_t length) override {
    ran = "OnShareNoteResult " + std::string(data, length);
  }
  void OnNoteFileDownload(int32_t status, const RkGuid* id) override {
    ran = "OnNoteFileDownload " + N(status) + " " + N(id->data1);
  }

 private:
  static std::string N(int64_t n) { return std::to_string(n); }
};

class SinkProbe final : public RkByteSink {
 public:
  size_t asked = 0;
  uint8_t byte = 0;
  uint8_t* Grow(size_t n) override {
    asked = n;
    return &byte;
  }
};

TEST(RkKivvetInterface, EveryEngineTablePositionRunsItsOperation) {
  TableProbe probe;
  void* object = static_cast<RkNoteSyncStorage*>(&probe);
  RkGuid id = {};
  RkByteSink* no_sink = nullptr;
  std::string text;
  const char16_t* u = u"x";
  int32_t version = 0;
  int32_t err = 0;
  int32_t syncing = 0;
  int64_t time = 0;
  const std::vector<RkGuid> ids(3);
  const std::u16string body = u"[]";
  using G = const RkGuid*;
  const std::map<size_t, std::pair<std::string, std::function<std::string()>>> named = {
      {1, {"InitSync 9 1", [&] { return std::to_string(CallSlot<bool>(object, 1, u, u, u, u, u, u, u, 9)); }}},
      {4, {"DoSync 1", [&] { return std::to_string(CallSlot<bool>(object, 4)); }}},
      {5, {"Shutdown", [&] { return CallSlot(object, 5), std::string(); }}},
      {6, {"CloseStore", [&] { return CallSlot(object, 6), std::string(); }}},
      {7, {"OpenStore 1", [&] { return std::to_string(CallSlot<bool>(object, 7, u, u)); }}},
      {8, {"ReleaseStore", [&] { return CallSlot(object, 8), std::string(); }}},
      {9, {"SetObserver", [&] { return CallSlot(object, 9, static_cast<RkKivvetObserver*>(nullptr)), std::string(); }}},
      {10, {"EnterGuestMode", [&] { return CallSlot(object, 10), std::string(); }}},
      {12, {"GetRootId", [&] { return CallSlot(object, 12, &id), std::string(); }}},
      {17, {"SetFolderMinimalist 5 1", [&] { return std::to_string(CallSlot<int32_t>(object, 17, G(&id), 5)); }}},
      {22, {"AddFavorite 3 1", [&] { return std::to_string(CallSlot<bool>(object, 22, G(&id), &id, 3)); }}},
      {23, {"RemoveFavorite 4 1", [&] { return std::to_string(CallSlot<bool>(object, 23, G(&id), 4)); }}},
      {24, {"GetNodeInfo 1", [&] { return std::to_string(CallSlot<bool>(object, 24, G(&id), no_sink)); }}},
      {30, {"GetAllUrlNotes 1", [&] { return std::to_string(CallSlot<bool>(object, 30, no_sink)); }}},
      {31, {"GetBookmarkUrlNotes 6 1", [&] { return std::to_string(CallSlot<bool>(object, 31, 6, &text)); }}},
      {33, {"SetNoteUrl 8 1", [&] { return std::to_string(CallSlot<bool>(object, 33, G(&id), u, 8)); }}},
      {46, {"GetNoteMeta force 1", [&] { return std::to_string(CallSlot<bool>(object, 46, &text, true)); }}},
      {48, {"ImportBookmarks 1", [&] { return std::to_string(CallSlot<bool>(object, 48, &body, &text)); }}},
      {49, {"DownloadNodes 1", [&] { return std::to_string(CallSlot<bool>(object, 49)); }}},
      {50,
       {"SaveResource 2 10 1",
        [&] {
          const uint8_t data[2] = {1, 2};
          return std::to_string(CallSlot<bool>(object, 50, u, static_cast<const uint8_t*>(data), 2, 10, u, no_sink));
        }}},
      {51, {"GetNoteContentPath true 1", [&] { return std::to_string(CallSlot<bool>(object, 51, G(&id), no_sink, true)); }}},
      {52,
       {"SaveContent 4 -1 2 7",
        [&] { return std::to_string(CallSlot<int32_t>(object, 52, G(&id), "html", 4, -1, true, 2)); }}},
      {53, {"ClearNoteResources 1", [&] { return std::to_string(CallSlot<bool>(object, 53, G(&id))); }}},
      {56, {"CreateFolder 1", [&] { return std::to_string(CallSlot<bool>(object, 56, G(&id), u, 0, 0, G(&id), false)); }}},
      {57,
       {"CreateNote 3 -1 1",
        [&] { return std::to_string(CallSlot<bool>(object, 57, G(&id), u, 0, 3, u, u, u, -1, G(&id), false)); }}},
      {66, {"CountChildren 66", [&] { return std::to_string(CallSlot<int32_t>(object, 66, G(&id))); }}},
      {69, {"GetNodesUnder 1", [&] { return std::to_string(CallSlot<bool>(object, 69, G(&id), no_sink)); }}},
      {74, {"GetUrlNoteCount 74", [&] { return std::to_string(CallSlot<int32_t>(object, 74, u)); }}},
      {80, {"GetNodePath 1", [&] { return std::to_string(CallSlot<bool>(object, 80, G(&id), no_sink)); }}},
      {81, {"GetSyncStatus 81", [&] { return std::to_string(CallSlot<int32_t>(object, 81)); }}},
      {82, {"GetNoteVersion 82", [&] { return std::to_string(CallSlot<int32_t>(object, 82, G(&id))); }}},
      {83,
       {"GetLastSyncStatus 1,1099511627776,3,4",
        [&] {
          CallSlot(object, 83, &version, &time, &err, &syncing);
          return std::to_string(version) + "," + std::to_string(time) + "," + std::to_string(err) + "," +
                 std::to_string(syncing);
        }}},
      {84, {"ResetSyncVersion 3 1", [&] { return std::to_string(CallSlot<bool>(object, 84, &ids)); }}},
      {86, {"DownloadNoteContent 86", [&] { return std::to_string(CallSlot<int32_t>(object, 86, G(&id))); }}},
      {87, {"RequestMissingContent", [&] { return CallSlot(object, 87, G(&id)), std::string(); }}},
      {90, {"TestHttpRes 1", [&] { return std::to_string(CallSlot<bool>(object, 90, no_sink)); }}},
  };
  for (size_t slot = 0; slot <= 90; ++slot) {
    probe.ran.clear();
    const auto found = named.find(slot);
    if (found == named.end()) {
      CallSlot(object, slot);
      EXPECT_EQ(probe.ran, "Reserved" + std::to_string(slot)) << "slot " << slot;
      continue;
    }
    const std::string result = found->second.second();
    std::string seen = probe.ran;
    if (!result.empty()) seen += " " + result;
    EXPECT_EQ(seen, found->second.first) << "slot " << slot;
  }
}

TEST(RkKivvetInterface, EveryObserverPositionAndTheSinkRunTheirOperation) {
  ObserverProbe probe;
  void* object = static_cast<RkKivvetObserver*>(&probe);
  const RkGuid id = {11, 0, 0, {}};
  const RkGuid new_id = {12, 0, 0, {}};
  const struct {
    size_t slot;
    std::function<void()> call;
    const char* expected;
  } cases[] = {
      {0, [&] { CallSlot(object, 0); }, "Reserved0"},
      {1, [&] { CallSlot(object, 1, 5, 6); }, "OnSyncNotify 5 6"},
      {2, [&] { CallSlot(object, 2, 3, 401, "refused"); }, "OnSyncNotify2 3 401 refused"},
      {3, [&] { CallSlot(object, 3, 1, 2, 9, "{}"); }, "OnSyncProgress 1 2 9 {}"},
      {4, [&] { CallSlot(object, 4, 7, &id); }, "OnDataUpdated 7 11"},
      {5, [&] { CallSlot(object, 5, 1, &id, &new_id, 2); }, "OnDataConflict 1 11 12 2"},
      {6, [&] { CallSlot(object, 6, u"t", static_cast<void*>(nullptr), 8, true); }, "OnEngineEvent6 8 1"},
      {7, [&] { CallSlot(object, 7, static_cast<void*>(nullptr), true); }, "OnImportData 1"},
      {8, [&] { CallSlot(object, 8); }, "OnEngineEvent8"},
      {9, [&] { CallSlot(object, 9, u"t", static_cast<void*>(nullptr), 9, false); }, "OnEngineEvent9 9 0"},
      {10, [&] { CallSlot(object, 10, 4, "{\"a\":1}xx", 7, 2); }, "OnDataChanged 4 {\"a\":1} 2"},
      {11, [&] { CallSlot(object, 11, u"t"); }, "OnEngineEvent11"},
      {12, [&] { CallSlot(object, 12, u"k", "shared", 6); }, "OnShareNoteResult shared"},
      {13, [&] { CallSlot(object, 13, 1, &id); }, "OnNoteFileDownload 1 11"},
  };
  for (const auto& c : cases) {
    probe.ran.clear();
    c.call();
    EXPECT_EQ(probe.ran, c.expected) << "slot " << c.slot;
  }

  SinkProbe sink;
  void* sink_object = static_cast<RkByteSink*>(&sink);
  EXPECT_EQ(CallSlot<uint8_t*>(sink_object, 0, size_t{42}), &sink.byte);
  EXPECT_EQ(sink.asked, 42u);
}

}  // namespace
