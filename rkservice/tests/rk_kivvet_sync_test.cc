// Two notes engines (two devices of one account) syncing through the sync
// peer, rk_kivvet_peer, run as a process of its own on a loopback port.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rk_kivvet_test_support.h"
#include "rk_notify_test_server.h"
#include "rk_storage_test_support.h"

namespace {

namespace fs = std::filesystem;
using rkkivvet::RkGuid;
using rktest::ByteSink;
using rktest::Guid;
using rktest::kRoot;
using rktest::ReadAll;
using rktest::RecordingObserver;
using rktest::Text;
using rktest::U16;
using Json = nlohmann::json;

constexpr char kFolder[] = "0000000A-0000-0000-0000-000000000000";
constexpr char kNote[] = "000000C1-0000-0000-0000-000000000000";

// One device: an engine with its own store and observer.
struct Device {
  Device(const rktest::KivvetLibrary& library, const fs::path& dir) : engine(library) {
    fs::create_directories(dir);
    ok = engine.ok() && engine.Open(dir / "Kivvet.dat");
    if (ok) engine->SetObserver(&observer);
  }

  bool Init(const std::string& host, const std::string& did, const std::string& key = "key",
            const std::string& res_host = "") {
    const std::u16string h = U16(host), r = U16(res_host.empty() ? host : res_host), d = U16(did), k = U16(key);
    return engine->InitSync(u"uid-1", d.c_str(), k.c_str(), u"app", h.c_str(), r.c_str(), u"1.0", 0);
  }
  // One run, from its first event to its last.
  std::vector<std::string> Run(bool push = true) {
    observer.Clear();
    if (!(push ? engine->DoSync() : engine->DownloadNodes())) return {"not queued"};
    if (!observer.WaitForRunEnd()) return {"no end"};
    return observer.Texts();
  }
  std::string Info(const std::string& id) {
    const RkGuid guid = Guid(id);
    ByteSink sink;
    return engine->GetNodeInfo(&guid, &sink) ? sink.Text() : "false";
  }
  // id -> "name|url|parent" of every node under the root.
  std::map<std::string, std::string> Tree() {
    const RkGuid root = Guid(kRoot);
    ByteSink sink;
    std::map<std::string, std::string> nodes;
    if (!engine->GetNodesUnder(&root, &sink)) return nodes;
    std::function<void(const Json&)> walk = [&](const Json& list) {
      for (const Json& n : list) {
        nodes[n["id"]] = n["fn"].get<std::string>() + "|" + n["url"].get<std::string>() + "|" + n["pid"].get<std::string>();
        if (n.contains("nodes")) walk(n["nodes"]);
      }
    };
    walk(Json::parse(sink.Text())["nodes"]);
    return nodes;
  }
  std::string ContentPath(const std::string& id) {
    const RkGuid guid = Guid(id);
    ByteSink sink;
    return engine->GetNoteContentPath(&guid, &sink, true) ? sink.Text() : "";
  }

  // Outlives the engine, which may call it until it is gone.
  RecordingObserver observer;
  rktest::Engine engine;
  bool ok = false;
};

class KivvetSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.ok()) << library_.error();
    ASSERT_TRUE(peer_->ok()) << "peer said: " << peer_->line();
    ASSERT_TRUE(a_.ok);
    ASSERT_TRUE(b_.ok);
    ASSERT_TRUE(a_.Init(peer_->url(), "device-a"));
    ASSERT_TRUE(b_.Init(peer_->url(), "device-b"));
  }

  // A folder holding a note with content, made on A and synced.
  void MakeSyncedNote() {
    const RkGuid root = Guid(kRoot), folder = Guid(kFolder), note = Guid(kNote);
    ASSERT_TRUE(a_.engine->CreateFolder(&root, u"Work", 0, 0, &folder, false));
    ASSERT_TRUE(a_.engine->CreateNote(&folder, u"Plan", 0, 0, u"https://plan.test/", u"", u"", -1, &note, false));
    const std::string html = "<p>plan</p>";
    ASSERT_EQ(a_.engine->SaveContent(&note, html.data(), static_cast<int32_t>(html.size()), -1, false, -1), 0);
    ASSERT_EQ(a_.Run(), (std::vector<std::string>{
                            "state 1,0,sync",
                            R"(changed 1,{"conflicts":0,"pulled":0,"pushed":2,"version":0},2)",
                            "state 2,0,done",
                        }));
  }

  rktest::TempDir dir_;
  rktest::KivvetLibrary library_;
  std::unique_ptr<rktest::PeerProcess> peer_ = std::make_unique<rktest::PeerProcess>();
  Device a_{library_, dir_.path() / "a"};
  Device b_{library_, dir_.path() / "b"};
};

TEST_F(KivvetSyncTest, ANoteMadeOnOneDeviceAppearsOnTheOtherWithItsEventsInOrder) {
  MakeSyncedNote();
  EXPECT_EQ(b_.Run(), (std::vector<std::string>{
                          "state 1,0,sync",
                          R"(progress 1,1,2,{"fn":"Work","id":"0000000A-0000-0000-0000-000000000000"})",
                          "updated 1," + std::string(kFolder),
                          R"(progress 1,2,2,{"fn":"Plan","id":"000000C1-0000-0000-0000-000000000000"})",
                          "updated 1," + std::string(kNote),
                          R"(changed 1,{"conflicts":0,"pulled":2,"pushed":0,"version":2},2)",
                          "state 2,0,done",
                      }));
  EXPECT_EQ(b_.Tree(), a_.Tree());
  EXPECT_EQ(b_.Tree().at(kNote), "Plan|https://plan.test/|" + std::string(kFolder));
  const RkGuid note = Guid(kNote);
  EXPECT_EQ(b_.engine->GetNoteVersion(&note), 1);
  EXPECT_EQ(b_.ContentPath(kNote), "") << "content comes on request";
  int32_t version = -5, err = -5, syncing = -5;
  int64_t time = -5;
  b_.engine->GetLastSyncStatus(&version, &time, &err, &syncing);
  EXPECT_EQ(version, 2);
  EXPECT_GT(time, 0);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(syncing, 0);
  EXPECT_EQ(b_.engine->GetSyncStatus(), 0);
  // A's own changes coming back are nothing new to it.
  EXPECT_EQ(a_.Run(), (std::vector<std::string>{
                          "state 1,0,sync",
                          R"(changed 1,{"conflicts":0,"pulled":0,"pushed":0,"version":2},2)",
                          "state 2,0,done",
                      }));
}

TEST_F(KivvetSyncTest, ContentArrivesOnRequestWithTheDownloadEvent) {
  MakeSyncedNote();
  b_.Run();
  const RkGuid note = Guid(kNote), folder = Guid(kFolder);
  b_.observer.Clear();
  b_.engine->RequestMissingContent(&note);
  ASSERT_TRUE(b_.observer.WaitFor("download "));
  EXPECT_EQ(b_.observer.Texts(), (std::vector<std::string>{"download 0," + std::string(kNote)}));
  EXPECT_EQ(ReadAll(b_.ContentPath(kNote)), "<p>plan</p>");
  EXPECT_EQ(b_.engine->GetNoteVersion(&note), 1);
  // Present now: asking for missing content fetches nothing; an explicit
  // download does, and a folder has none.
  b_.observer.Clear();
  b_.engine->RequestMissingContent(&note);
  EXPECT_EQ(b_.engine->DownloadNoteContent(&folder), 0);
  EXPECT_EQ(b_.engine->DownloadNoteContent(&note), 1);
  ASSERT_TRUE(b_.observer.WaitFor("download "));
  EXPECT_EQ(b_.observer.Texts(), (std::vector<std::string>{"download 0," + std::string(kNote)}));
  // A note the peer holds no content for.
  const RkGuid bare = Guid("000000C2-0000-0000-0000-000000000000"), root = Guid(kRoot);
  ASSERT_TRUE(b_.engine->CreateNote(&root, u"bare", 0, 0, u"", u"", u"", -1, &bare, false));
  b_.observer.Clear();
  EXPECT_EQ(b_.engine->DownloadNoteContent(&bare), 1);
  ASSERT_TRUE(b_.observer.WaitFor("download "));
  EXPECT_EQ(b_.observer.Texts(), (std::vector<std::string>{"download 1,000000C2-0000-0000-0000-000000000000"}));
}

TEST_F(KivvetSyncTest, ANodeChangedOnBothSidesGivesOneConflictAndACopy) {
  MakeSyncedNote();
  b_.Run();
  const RkGuid note = Guid(kNote);
  b_.engine->RequestMissingContent(&note);
  ASSERT_TRUE(b_.observer.WaitFor("download 0"));
  ASSERT_TRUE(a_.engine->SetNoteUrl(&note, u"https://a.test/", 0));
  a_.Run();
  ASSERT_TRUE(b_.engine->SetNoteUrl(&note, u"https://b.test/", 0));
  const auto events = b_.Run();
  std::vector<std::string> conflicts;
  for (const std::string& e : events) {
    if (e.rfind("conflict ", 0) == 0) conflicts.push_back(e);
  }
  ASSERT_EQ(conflicts.size(), 1u) << ::testing::PrintToString(events);
  const std::string prefix = "conflict 1," + std::string(kNote) + ",";
  ASSERT_EQ(conflicts[0].compare(0, prefix.size(), prefix), 0) << conflicts[0];
  const std::string copy = conflicts[0].substr(prefix.size(), 36);
  EXPECT_EQ(conflicts[0].substr(prefix.size() + 36), ",2");
  EXPECT_NE(copy, kNote);
  EXPECT_EQ(events, (std::vector<std::string>{
                        "state 1,0,sync",
                        R"(progress 1,1,1,{"fn":"Plan","id":"000000C1-0000-0000-0000-000000000000"})",
                        conflicts[0],
                        "updated 2," + std::string(kNote),
                        R"(changed 1,{"conflicts":1,"pulled":1,"pushed":1,"version":3},2)",
                        "state 2,0,done",
                    }));
  // The peer's version keeps the id; the local one lives on as the copy,
  // with its content.
  const auto tree = b_.Tree();
  EXPECT_EQ(tree.at(kNote), "Plan|https://a.test/|" + std::string(kFolder));
  EXPECT_EQ(tree.at(copy), "Plan|https://b.test/|" + std::string(kFolder));
  EXPECT_EQ(ReadAll(b_.ContentPath(copy)), "<p>plan</p>");
  // Both devices end alike.
  a_.Run();
  EXPECT_EQ(a_.Tree(), tree);
  EXPECT_EQ(b_.Run().size(), 3u) << "nothing more to exchange";
}

TEST_F(KivvetSyncTest, DownloadNodesPullsAndPushesNothing) {
  MakeSyncedNote();
  const RkGuid root = Guid(kRoot), local = Guid("000000C3-0000-0000-0000-000000000000");
  ASSERT_TRUE(b_.engine->CreateNote(&root, u"local", 0, 0, u"", u"", u"", -1, &local, false));
  const auto events = b_.Run(false);
  EXPECT_EQ(events.front(), "state 1,0,download");
  EXPECT_EQ(events.at(events.size() - 2), R"(changed 1,{"conflicts":0,"pulled":2,"pushed":0,"version":2},2)");
  EXPECT_EQ(events.back(), "state 2,0,done");
  a_.Run();
  EXPECT_EQ(a_.Info("000000C3-0000-0000-0000-000000000000"), "false");
  b_.Run();
  a_.Run();
  EXPECT_NE(a_.Info("000000C3-0000-0000-0000-000000000000"), "false");
}

TEST_F(KivvetSyncTest, EventsComeFromTheWorkerOnlyAndNeverUnderTheStoreLock) {
  MakeSyncedNote();
  b_.Run();
  const RkGuid note = Guid(kNote);
  ASSERT_TRUE(a_.engine->SetNoteUrl(&note, u"https://a.test/", 0));
  a_.Run();
  ASSERT_TRUE(b_.engine->SetNoteUrl(&note, u"https://b.test/", 0));
  // Inside every callback another thread uses the store; it would wait for
  // the callback to end if the engine held its store lock.
  std::atomic<int> blocked{0};
  const std::thread::id worker = b_.observer.Calls().at(0).thread;
  b_.observer.SetHook([&](const RecordingObserver::Call&) {
    auto probe = std::async(std::launch::async, [&] {
      const RkGuid id = Guid(kNote);
      ByteSink sink;
      return b_.engine->GetNodeInfo(&id, &sink);
    });
    if (probe.wait_for(std::chrono::seconds(10)) != std::future_status::ready) ++blocked;
  });
  b_.Run();
  b_.engine->RequestMissingContent(&note);
  ASSERT_TRUE(b_.observer.WaitFor("download 0"));
  const std::u16string bookmarks = u"[]";
  std::string out;
  ASSERT_TRUE(b_.engine->ImportBookmarks(&bookmarks, &out));
  ASSERT_TRUE(b_.observer.WaitFor("import ok"));
  // Returns once the last callback has.
  b_.engine->SetObserver(nullptr);
  EXPECT_EQ(blocked.load(), 0);
  const auto calls = b_.observer.Calls();
  // state, progress, conflict, updated, changed, state, download, import
  EXPECT_EQ(calls.size(), 8u) << ::testing::PrintToString(b_.observer.Texts());
  for (const auto& call : calls) {
    EXPECT_EQ(call.thread, worker) << call.text;
    EXPECT_NE(call.thread, std::this_thread::get_id());
  }
}

TEST_F(KivvetSyncTest, AKeyThePeerRefusesEndsWith401) {
  peer_ = std::make_unique<rktest::PeerProcess>(std::vector<std::string>{"--key", "secret"});
  ASSERT_TRUE(peer_->ok());
  ASSERT_TRUE(a_.Init(peer_->url(), "device-a", "wrong"));
  EXPECT_EQ(a_.Run(), (std::vector<std::string>{"state 1,0,sync", "state 3,401,refused"}));
  int32_t version = 0, err = 0, syncing = 0;
  int64_t time = 0;
  a_.engine->GetLastSyncStatus(&version, &time, &err, &syncing);
  EXPECT_EQ(err, 401);
  ASSERT_TRUE(a_.Init(peer_->url(), "device-a", "secret"));
  EXPECT_EQ(a_.Run().back(), "state 2,0,done");
  a_.engine->GetLastSyncStatus(&version, &time, &err, &syncing);
  EXPECT_EQ(err, 0);
}

TEST_F(KivvetSyncTest, AnUnreachablePeerEndsWithMinusOne) {
  const std::string nowhere = "http://127.0.0.1:" + std::to_string(rktest::NotifyTestServer::RefusingPort());
  ASSERT_TRUE(a_.Init(nowhere, "device-a"));
  const auto events = a_.Run();
  ASSERT_EQ(events.size(), 2u) << ::testing::PrintToString(events);
  EXPECT_EQ(events[0], "state 1,0,sync");
  EXPECT_EQ(events[1].rfind("state 3,-1,", 0), 0u) << events[1];
  // Content cannot come either.
  const RkGuid root = Guid(kRoot), note = Guid(kNote);
  ASSERT_TRUE(a_.engine->CreateNote(&root, u"n", 0, 0, u"", u"", u"", -1, &note, false));
  a_.observer.Clear();
  EXPECT_EQ(a_.engine->DownloadNoteContent(&note), 1);
  ASSERT_TRUE(a_.observer.WaitFor("download "));
  EXPECT_EQ(a_.observer.Texts(), (std::vector<std::string>{"download 1," + std::string(kNote)}));
}

TEST(KivvetPeer, ListensOnTheGivenPortAndStopsOnASignal) {
  for (int signal_number : {SIGTERM, SIGINT}) {
    // The free port may be taken by the time the peer binds it: try another.
    std::unique_ptr<rktest::PeerProcess> peer;
    int port = 0;
    for (int attempt = 0; attempt < 5 && (peer == nullptr || !peer->ok()); ++attempt) {
      port = rktest::NotifyTestServer::RefusingPort();
      peer = std::make_unique<rktest::PeerProcess>(std::vector<std::string>{}, port);
    }
    ASSERT_TRUE(peer->ok());
    EXPECT_EQ(peer->line(), "listening on " + std::to_string(port));
    EXPECT_EQ(peer->Stop(signal_number), 0);
  }
}

}  // namespace
