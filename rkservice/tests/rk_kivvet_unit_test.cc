// The pure parts of the notes service: the flattening of the engine's node
// tree, the progress thinning rule, the byte sink, and the observer as the
// engine calls it (by table position, with the arguments an engine may pass).
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kivvet/adaptor/win/rk_kivvet_sync_observer.h"
#include "kivvet/rk_byte_vector_sink.h"
#include "kivvet/rk_kivvet_event_sink.h"
#include "kivvet/rk_kivvet_handler.h"
#include "rk_storage_test_support.h"
#include "rkservice.h"

namespace rkservice {
namespace {

using web::json::value;

std::string Flatten(const std::string& engine_nodes) {
  const value tree = value::parse(engine_nodes);
  value out = value::array();
  int notes = 0;
  RkKivvetHandler::FlattenNodeTree(tree.at("nodes").as_array(), out.as_array(), value::array().as_array(), notes);
  return out.serialize() + " notes=" + std::to_string(notes);
}

TEST(KivvetFlatten, NotesAndFoldersThatHoldNotesWithTheirPaths) {
  const struct {
    const char* what;
    std::string nodes;
    std::string flat;
  } cases[] = {
      {"no nodes", R"({"nodes":[]})", "[] notes=0"},
      {"top-level note", R"({"nodes":[{"ft":1,"fn":"n","id":"x"}]})",
       R"([{"fn":"n","ft":1,"id":"x","paths":[]}] notes=1)"},
      {"folder with a note and an empty folder",
       R"({"nodes":[{"ft":0,"fn":"A","nodes":[{"ft":1,"fn":"n"},{"ft":0,"fn":"E","nodes":[]}]}]})",
       R"([{"fn":"A","ft":0,"paths":[]},{"fn":"n","ft":1,"paths":["A"]}] notes=1)"},
      {"folder whose only content is a folder with a note",
       R"({"nodes":[{"ft":0,"fn":"A","nodes":[{"ft":0,"fn":"B","nodes":[{"ft":1,"fn":"n"}]}]}]})",
       R"([{"fn":"A","ft":0,"paths":[]},{"fn":"B","ft":0,"paths":["A"]},{"fn":"n","ft":1,"paths":["A","B"]}] notes=1)"},
      {"empty folders between notes keep the order",
       R"({"nodes":[{"ft":1,"fn":"a"},{"ft":0,"fn":"E","nodes":[{"ft":0,"fn":"F","nodes":[]}]},{"ft":2,"fn":"b"}]})",
       R"([{"fn":"a","ft":1,"paths":[]},{"fn":"b","ft":2,"paths":[]}] notes=2)"},
      {"a note's own nodes are copied, not descended into",
       R"({"nodes":[{"ft":1,"fn":"n","nodes":[{"ft":1,"fn":"inner"}],"paths":"old"}]})",
       R"([{"fn":"n","ft":1,"nodes":[{"fn":"inner","ft":1}],"paths":[]}] notes=1)"},
      {"nodes that are not objects or lack an integer ft are skipped",
       R"({"nodes":[1,"x",null,{"fn":"no ft"},{"ft":"0","fn":"text ft"},{"ft":1.5,"fn":"fraction"},{"ft":1,"fn":"ok"}]})",
       R"([{"fn":"ok","ft":1,"paths":[]}] notes=1)"},
      {"a folder without nodes holds nothing",
       R"({"nodes":[{"ft":0,"fn":"A"},{"ft":0,"fn":"B","nodes":{"ft":1}}]})", "[] notes=0"},
      {"a folder without a name adds an empty one",
       R"({"nodes":[{"ft":0,"nodes":[{"ft":1,"fn":"n"}]}]})",
       R"([{"ft":0,"paths":[]},{"fn":"n","ft":1,"paths":[""]}] notes=1)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Flatten(c.nodes), c.flat) << c.what;
}

TEST(KivvetFlatten, DeepTreesCountEveryNote) {
  std::string nodes = R"({"ft":1,"fn":"leaf"})";
  for (int depth = 0; depth < 40; ++depth) {
    nodes = R"({"ft":0,"fn":"d)" + std::to_string(depth) + R"(","nodes":[)" + nodes + R"(,{"ft":1,"fn":"x"}]})";
  }
  const value tree = value::parse(R"({"nodes":[)" + nodes + "]}");
  value out = value::array();
  int notes = 0;
  RkKivvetHandler::FlattenNodeTree(tree.at("nodes").as_array(), out.as_array(), value::array().as_array(), notes);
  EXPECT_EQ(notes, 41);
  EXPECT_EQ(out.size(), 81u);
  EXPECT_EQ(out.at(40).at("fn").as_string(), "leaf");
  EXPECT_EQ(out.at(40).at("paths").size(), 40u);  // under every folder
}

TEST(KivvetProgress, ThinningNearTheEndOfLongSyncs) {
  const struct {
    int current, total;
    bool sent;
  } cases[] = {
      {1, 300, true},     {299, 300, true},   {300, 300, true},   // 300 or fewer: all
      {1, 1000, true},    {950, 1000, true},  {951, 1000, false}, {955, 1000, false},
      {960, 1000, true},  {999, 1000, false}, {1000, 1000, true}, {1050, 1055, true},
      // The last one is dropped when it is no multiple of the step.
      {1055, 1055, false}, {301, 301, false}, {300, 301, true},   {253, 301, false}, {252, 301, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RkKivvetHandler::ShouldSendSyncProgress(c.current, c.total), c.sent) << c.current << "/" << c.total;
  }
}

TEST(KivvetByteSink, GrowAppendsZeroBytesAndGivesAPointerForNothing) {
  std::vector<uint8_t> bytes;
  RkByteVectorSink sink(&bytes);
  rkkivvet::RkByteSink* engine_side = &sink;
  EXPECT_NE(engine_side->Grow(0), nullptr);
  uint8_t* first = engine_side->Grow(3);
  ASSERT_NE(first, nullptr);
  first[0] = 'a';
  uint8_t* next = engine_side->Grow(2);
  next[1] = 'z';
  EXPECT_NE(engine_side->Grow(0), nullptr);
  EXPECT_EQ(sink.Text(), std::string("a\0\0\0z", 5));
}

// Records every event as one line of text.
class RecordingSink : public RkKivvetEventSink {
 public:
  std::vector<std::string> calls;
  bool throw_on_event = false;

  void OnSyncNotify(int code, int detail) override { Add("1 " + N(code) + " " + N(detail)); }
  void OnSyncNotify2(int code, int reason, const char* message) override {
    Add("2 " + N(code) + " " + N(reason) + " [" + message + "]");
  }
  void OnSyncProgress(int type, int current, int total, const std::string& text) override {
    Add("3 " + N(type) + " " + N(current) + " " + N(total) + " [" + text + "]");
  }
  void OnDataUpdated(int event, const std::string& id) override { Add("4 " + N(event) + " " + id); }
  void OnDataConflict(int type, const std::string& id, const std::string& new_id, int from) override {
    Add("5 " + N(type) + " " + id + " " + new_id + " " + N(from));
  }
  void OnEngineEvent6(const char* text, void*, int value, bool flag) override {
    Add("6 [" + std::string(text) + "] " + N(value) + " " + N(flag));
  }
  void OnImportData(void*, bool ok) override { Add("7 " + N(ok)); }
  void OnEngineEvent8() override { Add("8"); }
  void OnEngineEvent9(const char* text, void*, int value, bool flag) override {
    Add("9 [" + std::string(text) + "] " + N(value) + " " + N(flag));
  }
  void OnDataChanged(int event, const char* data, int length, int from) override {
    Add("10 " + N(event) + " [" + std::string(data, length) + "] " + N(length) + " " + N(from));
  }
  void OnEngineEvent11(const char* text) override { Add("11 [" + std::string(text) + "]"); }
  void OnShareNoteResult(const char* key, const char* data, int length) override {
    Add("12 [" + std::string(key) + "] [" + std::string(data, length) + "] " + N(length));
  }
  void OnNoteFileDownload(int status, std::string id) override { Add("13 " + N(status) + " " + id); }

 private:
  static std::string N(int n) { return std::to_string(n); }
  void Add(std::string call) {
    calls.push_back(std::move(call));
    if (throw_on_event) throw std::runtime_error("sink failed");
  }
};

// Calls position `slot` of the observer's table as the engine does: by index.
template <typename... Args>
void CallSlot(rkkivvet::RkKivvetObserver* observer, int slot, Args... args) {
  using Fn = void (*)(rkkivvet::RkKivvetObserver*, Args...);
  void** table = *reinterpret_cast<void***>(observer);
  reinterpret_cast<Fn>(table[slot])(observer, args...);
}

const rkkivvet::RkGuid kId = {0x01020304, 0x0506, 0x0708, {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0xAB}};
const std::string kIdText = "01020304-0506-0708-090A-0B0C0D0E0FAB";
const std::string kZero = "00000000-0000-0000-0000-000000000000";

void CallEveryPosition(rkkivvet::RkKivvetObserver* observer, bool nulls) {
  const rkkivvet::RkGuid* id = nulls ? nullptr : &kId;
  const char* text = nulls ? nullptr : "msg";
  const char16_t* wide = nulls ? nullptr : u"w\u00e9";
  const char* data = nulls ? nullptr : "{\"a\":1}xyz";
  CallSlot(observer, 0);
  CallSlot<int32_t, int32_t>(observer, 1, 1, 2);
  CallSlot<int32_t, int32_t, const char*>(observer, 2, 1, 401, text);
  CallSlot<int32_t, int32_t, int32_t, const char*>(observer, 3, 1, 2, 3, text);
  CallSlot<int32_t, const rkkivvet::RkGuid*>(observer, 4, 7, id);
  CallSlot<int32_t, const rkkivvet::RkGuid*, const rkkivvet::RkGuid*, int32_t>(observer, 5, 1, id, id, 3);
  CallSlot<const char16_t*, void*, int32_t, bool>(observer, 6, wide, nullptr, 4, true);
  CallSlot<void*, bool>(observer, 7, nullptr, true);
  CallSlot(observer, 8);
  CallSlot<const char16_t*, void*, int32_t, bool>(observer, 9, wide, nullptr, 5, false);
  CallSlot<int32_t, const char*, int32_t, int32_t>(observer, 10, 6, data, nulls ? 7 : 7, 2);
  CallSlot<const char16_t*>(observer, 11, wide);
  CallSlot<const char16_t*, const char*, int32_t>(observer, 12, wide, data, 3);
  CallSlot<int32_t, const rkkivvet::RkGuid*>(observer, 13, 1, id);
}

TEST(KivvetObserver, EveryPositionForwardsConvertedArguments) {
  RecordingSink sink;
  RkKivvetSyncObserver observer(&sink);
  CallEveryPosition(&observer, false);
  EXPECT_EQ(sink.calls, (std::vector<std::string>{
                            "1 1 2",
                            "2 1 401 [msg]",
                            "3 1 2 3 [msg]",
                            "4 7 " + kIdText,
                            "5 1 " + kIdText + " " + kIdText + " 3",
                            "6 [w\xC3\xA9] 4 1",
                            "7 1",
                            "8",
                            "9 [w\xC3\xA9] 5 0",
                            "10 6 [{\"a\":1}] 7 2",
                            "11 [w\xC3\xA9]",
                            "12 [w\xC3\xA9] [{\"a] 3",
                            "13 1 " + kIdText,
                        }));
}

TEST(KivvetObserver, NullAndNegativeArgumentsArriveEmpty) {
  RecordingSink sink;
  RkKivvetSyncObserver observer(&sink);
  CallEveryPosition(&observer, true);
  CallSlot<int32_t, const char*, int32_t, int32_t>(&observer, 10, 6, "abc", -1, 2);
  CallSlot<const char16_t*, const char*, int32_t>(&observer, 12, u"k", "abc", -5);
  EXPECT_EQ(sink.calls, (std::vector<std::string>{
                            "1 1 2",
                            "2 1 401 []",
                            "3 1 2 3 []",
                            "4 7 " + kZero,
                            "5 1 " + kZero + " " + kZero + " 3",
                            "6 [] 4 1",
                            "7 1",
                            "8",
                            "9 [] 5 0",
                            "10 6 [] 0 2",
                            "11 []",
                            "12 [] [] 0",
                            "13 1 " + kZero,
                            "10 6 [] 0 2",
                            "12 [k] [] 0",
                        }));
}

TEST(KivvetObserver, WhatTheSinkThrowsStaysOnTheServiceSide) {
  RkServiceManager::GetInstance()->StartLogger((testing::TempDir() + "/rk_kivvet_unit.log").c_str(), kRkLogTrace);
  rktest::LogCapture log;
  RecordingSink sink;
  sink.throw_on_event = true;
  RkKivvetSyncObserver observer(&sink);
  CallEveryPosition(&observer, false);
  EXPECT_EQ(sink.calls.size(), 13u);
  EXPECT_EQ(log.Count("failed: sink failed"), 13u);

  RkKivvetSyncObserver detached(nullptr);
  CallEveryPosition(&detached, false);  // no sink: nothing happens
}

}  // namespace
}  // namespace rkservice
