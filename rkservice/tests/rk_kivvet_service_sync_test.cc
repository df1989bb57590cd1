// The sync routes and the notifications of a sync as the browser sees them:
// the shipped service with the real notes engine, the sync peer
// rk_kivvet_peer as a process of its own, and a notify endpoint of the
// test's own that records what arrives.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "rk_kivvet_test_service.h"
#include "rk_kivvet_test_support.h"
#include "rk_notify_test_server.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using rkkivvet::RkGuid;
using rktest::Guid;
using rktest::HttpReply;
using rktest::KivvetRequest;
using rktest::NotifyRequest;
using rktest::NotifyTestServer;

constexpr char kFolder[] = "0000000A-0000-0000-0000-000000000000";
constexpr char kNote[] = "000000C1-0000-0000-0000-000000000000";
constexpr char kUid[] = "uid-1";

std::string InitBody(const std::string& host, const std::string& did, const std::string& key = "key",
                     const std::string& uid = kUid) {
  return Json{{"uid", uid}, {"did", did},      {"key", key},  {"app", "app"},
              {"host", host}, {"res_host", host}, {"cver", "1.0"}, {"vip_level", 0}}
      .dump();
}

// The sync notifications (type "sync") among the requests.
std::vector<std::string> SyncValues(const std::vector<NotifyRequest>& requests) {
  std::vector<std::string> values;
  const std::string marker = "type=sync&value=";
  for (const NotifyRequest& r : requests) {
    const size_t at = r.request_line.find(marker);
    if (at != std::string::npos) values.push_back(r.request_line.substr(at + marker.size(), 1));
  }
  return values;
}

// A sync state 2 or 3 among the requests.
bool RunEnded(const std::vector<NotifyRequest>& requests) {
  for (const std::string& value : SyncValues(requests)) {
    if (value == "2" || value == "3") return true;
  }
  return false;
}

class KivvetServiceSync : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(engine_library_.ok()) << engine_library_.error();
    ASSERT_TRUE(peer_->ok()) << peer_->line();
  }

  int Start(const std::string& name, const fs::path& root, NotifyTestServer& notify) {
    fs::create_directories(root);
    std::ofstream(root / "rklog.a").close();  // info lines too
    return service_.Start(name, root, notify.host());
  }

  HttpReply Put(int port, const std::string& path, const std::string& body = {}) {
    return KivvetRequest(port, "PUT", path, body);
  }

  // One sync of the service: init, do_sync, and the run's notifications up
  // to its last sync state.
  std::vector<NotifyRequest> Sync(int port, NotifyTestServer& notify, const std::string& did,
                                  const std::string& key = "key") {
    const size_t before = notify.Requests().size();
    EXPECT_EQ(Put(port, "/kivvet/sync/init_and_sync", InitBody(peer_->url(), did, key)).status, 200);
    // A thousand notifications take a while under a sanitizer on a busy machine.
    EXPECT_TRUE(rktest::WaitUntil(
        [&] {
          const std::vector<NotifyRequest> all = notify.Requests();
          return RunEnded({all.begin() + before, all.end()});
        },
        std::chrono::seconds(100)));
    const std::vector<NotifyRequest> all = notify.Requests();
    return {all.begin() + before, all.end()};
  }

  // An engine of the test's own with the store `file`: makes the nodes
  // `make` asks for, syncs them to the peer under uid-1, and closes.
  template <typename Make>
  void PushFromDevice(const fs::path& file, Make make) {
    fs::create_directories(file.parent_path());
    rktest::RecordingObserver observer;  // outlives the engine
    rktest::Engine engine(engine_library_);
    ASSERT_TRUE(engine.ok() && engine.Open(file));
    engine->SetObserver(&observer);
    make(engine.get());
    const std::u16string host = rktest::U16(peer_->url());
    ASSERT_TRUE(engine->InitSync(u"uid-1", u"filler", u"key", u"app", host.c_str(), host.c_str(), u"1.0", 0));
    observer.Clear();
    ASSERT_TRUE(engine->DoSync());
    ASSERT_TRUE(observer.WaitForRunEnd());
    ASSERT_EQ(observer.Texts().back(), "state 2,0,done");
  }

  static void MakeFolderAndNote(rkkivvet::RkNoteSyncStorage* engine) {
    const RkGuid root = Guid(rktest::kRoot), folder = Guid(kFolder), note = Guid(kNote);
    ASSERT_TRUE(engine->CreateFolder(&root, u"Work", 0, 0, &folder, false));
    ASSERT_TRUE(engine->CreateNote(&folder, u"Plan", 0, 0, u"https://plan.test/", u"", u"", -1, &note, false));
  }

  rktest::KivvetTempDir temp_;
  rktest::KivvetLibrary engine_library_;
  std::unique_ptr<rktest::PeerProcess> peer_ = std::make_unique<rktest::PeerProcess>();
  NotifyTestServer notify_;
  rktest::KivvetServiceLibrary service_;
};

TEST_F(KivvetServiceSync, InitialisationErrorsAndTheRefusalBeforeIt) {
  const fs::path root = temp_.path() / "root";
  const int port = Start("notes", root, notify_);
  ASSERT_NE(port, 0);
  const std::string refusal = R"({"msg":"please call /kivvet/sync/init first"})";
  EXPECT_EQ(Put(port, "/kivvet/sync/do_sync").body, refusal);
  EXPECT_EQ(Put(port, "/kivvet/sync/do_sync").status, 400);

  Json good = Json::parse(InitBody(peer_->url(), "device"));
  const auto with = [&](const char* key, Json value) {
    Json body = good;
    body[key] = std::move(value);
    return body.dump();
  };
  Json missing = good;
  missing.erase("vip_level");
  const struct {
    const char* what;
    std::string body;
    std::string content_type;
    int status;
  } cases[] = {
      {"vip_level missing", missing.dump(), "application/json", 400},
      {"vip_level as text", with("vip_level", "1"), "application/json", 400},
      {"vip_level with a fraction", with("vip_level", 1.5), "application/json", 400},
      {"vip_level beyond 32 bits", with("vip_level", 3000000000LL), "application/json", 400},
      {"vip_level below 32 bits", with("vip_level", -3000000000LL), "application/json", 400},
      {"uid as a number", with("uid", 5), "application/json", 400},
      {"host null", with("host", nullptr), "application/json", 400},
      {"not JSON", "{uid", "application/json", 400},
      {"an array", "[]", "application/json", 400},
      {"no content type: an empty body", good.dump(), "", 400},
      {"a host the engine refuses", with("host", "ftp://127.0.0.1/"), "application/json", 500},
      {"an empty key", with("key", ""), "application/json", 500},
  };
  for (const auto& c : cases) {
    for (const char* path : {"/kivvet/sync/init", "/kivvet/sync/init_and_sync"}) {
      const HttpReply reply = KivvetRequest(port, "PUT", path, c.body, c.content_type);
      EXPECT_EQ(reply.status, c.status) << c.what << " " << path;
      EXPECT_EQ(reply.body, "{}") << c.what << " " << path;
    }
    EXPECT_EQ(Put(port, "/kivvet/sync/do_sync").body, refusal) << c.what;
  }
  // A body the HTTP library does not take for text is a bad body too.
  const HttpReply binary = KivvetRequest(port, "PUT", "/kivvet/sync/init", good.dump(), "image/png");
  EXPECT_EQ(binary.status, 400);
  EXPECT_EQ(binary.body, "{}");
  EXPECT_TRUE(binary.Has("server"));

  const std::string log = rktest::FlushedServiceLog(port, root);
  EXPECT_NE(log.find("[error] InitSyncInternal error: params error"), std::string::npos) << log;
  EXPECT_NE(log.find("[warning] Kivvet InitSync Error"), std::string::npos);
  EXPECT_NE(log.find("[error] interface 'PUT /kivvet/sync/init' MUST be successly called before "
                     "/kivvet/sync/do_sync"),
            std::string::npos);
  EXPECT_EQ(log.find("InitSync called too many times"), std::string::npos);
  EXPECT_EQ(log.find("Kivvet InitSync OK"), std::string::npos);
  EXPECT_TRUE(SyncValues(notify_.Requests()).empty());
}

TEST_F(KivvetServiceSync, InitTwiceAndAFailedRepeatLeavesTheFirstInForce) {
  const fs::path root = temp_.path() / "root";
  const int port = Start("notes", root, notify_);
  ASSERT_NE(port, 0);
  EXPECT_EQ(Put(port, "/kivvet/sync/init", InitBody(peer_->url(), "device")).status, 200);
  EXPECT_EQ(Put(port, "/kivvet/sync/init", InitBody(peer_->url(), "device")).body, "{}");
  EXPECT_EQ(Put(port, "/kivvet/sync/init", InitBody("ftp://x", "device")).status, 500);
  EXPECT_EQ(Put(port, "/kivvet/sync/do_sync").status, 200);
  ASSERT_TRUE(rktest::WaitUntil([&] { return RunEnded(notify_.Requests()); }));
  EXPECT_EQ(Put(port, "/kivvet/sync/reset_sync_ver").status, 200);
  const std::string log = rktest::FlushedServiceLog(port, root);
  EXPECT_NE(log.find("[warning] InitSync called too many times"), std::string::npos) << log;
  EXPECT_NE(log.find("[ info] Kivvet InitSync OK"), std::string::npos);
}

TEST_F(KivvetServiceSync, TheUserGuestGetsAGuestEngineThatDoesNotSync) {
  const int port = Start("notes", temp_.path() / "root", notify_);
  ASSERT_NE(port, 0);
  const struct {
    const char* user;
    int status;
  } cases[] = {{"guest", 500}, {"Guest", 200}, {"guest1", 200}, {"gues", 200}};
  for (const auto& c : cases) {
    const HttpReply reply = KivvetRequest(port, "PUT", "/kivvet/sync/init", InitBody(peer_->url(), "device"),
                                          "application/json", c.user);
    EXPECT_EQ(reply.status, c.status) << c.user;
  }
}

TEST_F(KivvetServiceSync, ARealSyncNotifiesInOrderWithTheExactWireForm) {
  PushFromDevice(temp_.path() / "filler" / "Kivvet.dat", MakeFolderAndNote);
  const fs::path root = temp_.path() / "root";
  const int port = Start("notes", root, notify_);
  ASSERT_NE(port, 0);
  // A new user's store holds the default notes: all of them go out.
  const Json meta = Json::parse(KivvetRequest(port, "GET", "/kivvet/get_notemeta").body);
  const int defaults = meta.at("folders").get<int>() + meta.at("notes").get<int>();
  ASSERT_GT(defaults, 0) << meta;
  const std::vector<NotifyRequest> run = Sync(port, notify_, "device-b");

  const std::string updated = "GET /?action=notify&caller=kivvet&type=data_changed&value=%7B%22data%22:%7B%22event%22:1,"
                              "%22id%22:%22";
  const std::vector<std::string> lines = {
      "GET /?action=notify&caller=kivvet&type=sync&value=1 HTTP/1.1",
      "POST /?action=progress&caller=kivvet&count=2&type=1&value=1 HTTP/1.1",
      updated + kFolder + "%22%7D,%22from%22:2%7D HTTP/1.1",
      "POST /?action=progress&caller=kivvet&count=2&type=1&value=2 HTTP/1.1",
      updated + kNote + "%22%7D,%22from%22:2%7D HTTP/1.1",
      "GET /?action=notify&caller=kivvet&type=data_changed&value=%7B%22data%22:%7B%22conflicts%22:0,%22pulled%22:2,"
      "%22pushed%22:" + std::to_string(defaults) + ",%22version%22:2%7D,%22from%22:2%7D HTTP/1.1",
      "GET /?action=notify&caller=kivvet&type=sync&value=2 HTTP/1.1",
  };
  ASSERT_EQ(run.size(), lines.size());
  const char* reasons[] = {"0", nullptr, "7", nullptr, "7", "1", "0"};
  for (size_t i = 0; i < run.size(); ++i) {
    EXPECT_EQ(run[i].request_line, lines[i]) << i;
    EXPECT_EQ(run[i].Header("UserName"), "ann") << i;
    if (reasons[i] != nullptr) {
      EXPECT_EQ(run[i].Header("reason"), reasons[i]) << i;
      EXPECT_EQ(run[i].body, "") << i;
    } else {
      EXPECT_FALSE(run[i].Has("reason")) << i;
      EXPECT_EQ(run[i].Header("Content-Type"), "text/json; charset=utf-8") << i;
    }
  }
  EXPECT_EQ(run[1].body, R"({"fn":"Work","id":"0000000A-0000-0000-0000-000000000000"})");
  EXPECT_EQ(run[3].body, R"({"fn":"Plan","id":"000000C1-0000-0000-0000-000000000000"})");

  // What the routes say afterwards.
  EXPECT_EQ(KivvetRequest(port, "GET", "/kivvet/sync/status").body, R"({"status":0})");
  const Json last = Json::parse(KivvetRequest(port, "GET", "/kivvet/sync/last_status").body);
  EXPECT_EQ(last.at("version"), 2);
  EXPECT_EQ(last.at("err_code"), 0);
  EXPECT_EQ(last.at("is_syncing"), false);
  EXPECT_GT(last.at("sync_time").get<int64_t>(), 0);
  EXPECT_NE(KivvetRequest(port, "GET", "/kivvet/allurlnotes").body.find("https://plan.test/"), std::string::npos);
}

TEST_F(KivvetServiceSync, AKeyThePeerRefusesEndsWithState3AndReason401) {
  peer_ = std::make_unique<rktest::PeerProcess>(std::vector<std::string>{"--key", "right"});
  ASSERT_TRUE(peer_->ok());
  const int port = Start("notes", temp_.path() / "root", notify_);
  ASSERT_NE(port, 0);
  const std::vector<NotifyRequest> run = Sync(port, notify_, "device", "wrong");
  ASSERT_EQ(run.size(), 2u);
  EXPECT_EQ(run[0].request_line, "GET /?action=notify&caller=kivvet&type=sync&value=1 HTTP/1.1");
  EXPECT_EQ(run[1].request_line, "GET /?action=notify&caller=kivvet&type=sync&value=3 HTTP/1.1");
  EXPECT_EQ(run[1].Header("reason"), "401");
  const Json last = Json::parse(KivvetRequest(port, "GET", "/kivvet/sync/last_status").body);
  EXPECT_EQ(last.at("err_code"), 401);
  EXPECT_EQ(KivvetRequest(port, "GET", "/kivvet/sync/status").body, R"({"status":0})");
}

TEST_F(KivvetServiceSync, ANoteChangedInTwoServicesGivesTheConflictNotification) {
  const fs::path root_a = temp_.path() / "a", root_b = temp_.path() / "b";
  const fs::path store_a = root_a / "ann" / "Kivvet" / "Kivvet.dat", store_b = root_b / "ann" / "Kivvet" / "Kivvet.dat";
  NotifyTestServer notify_b;
  // A makes the note and pushes it; B pulls it.
  PushFromDevice(store_a, MakeFolderAndNote);
  int port_a = Start("a", root_a, notify_);
  int port_b = Start("b", root_b, notify_b);
  ASSERT_TRUE(port_a != 0 && port_b != 0);
  Sync(port_a, notify_, "device-a");
  Sync(port_b, notify_b, "device-b");
  service_.Remove("a");
  service_.Remove("b");

  // Both change it while their services are away; A's change reaches the
  // peer first.
  const auto change = [&](const fs::path& store, const char16_t* url) {
    rktest::Engine engine(engine_library_);
    ASSERT_TRUE(engine.ok() && engine.Open(store));
    const RkGuid note = Guid(kNote);
    ASSERT_TRUE(engine->SetNoteUrl(&note, url, 0));
  };
  change(store_a, u"https://a.test/");
  change(store_b, u"https://b.test/");
  port_a = Start("a2", root_a, notify_);
  port_b = Start("b2", root_b, notify_b);
  ASSERT_TRUE(port_a != 0 && port_b != 0);
  Sync(port_a, notify_, "device-a");
  const std::vector<NotifyRequest> run = Sync(port_b, notify_b, "device-b");

  std::vector<NotifyRequest> conflicts;
  for (const NotifyRequest& r : run) {
    if (r.request_line.find("type=data_conflict") != std::string::npos) conflicts.push_back(r);
  }
  ASSERT_EQ(conflicts.size(), 1u);
  const std::string prefix = "GET /?action=notify&caller=kivvet&type=data_conflict&value=%7B%22data%22:%7B%22"
                             "conflict_type%22:1,%22id%22:%22" + std::string(kNote) + "%22,%22new_id%22:%22";
  const std::string& line = conflicts[0].request_line;
  ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
  EXPECT_EQ(line.substr(prefix.size() + 36), "%22%7D,%22from%22:2%7D HTTP/1.1");
  EXPECT_NE(line.substr(prefix.size(), 36), kNote);
  EXPECT_FALSE(conflicts[0].Has("reason"));
  EXPECT_EQ(conflicts[0].Header("UserName"), "ann");
}

TEST_F(KivvetServiceSync, ProgressOfAThousandChangesIsThinnedNearItsEnd) {
  constexpr int kNotes = 1000;
  PushFromDevice(temp_.path() / "filler" / "Kivvet.dat", [](rkkivvet::RkNoteSyncStorage* engine) {
    const RkGuid root = Guid(rktest::kRoot);
    for (int i = 1; i <= kNotes; ++i) {
      char id[37];
      std::snprintf(id, sizeof(id), "%08X-0000-0000-0000-0000000000AA", i);
      const RkGuid note = Guid(id);
      ASSERT_TRUE(engine->CreateNote(&root, u"n", 0, 0, u"", u"", u"", -1, &note, false));
    }
  });
  const int port = Start("notes", temp_.path() / "root", notify_);
  ASSERT_NE(port, 0);
  const std::vector<NotifyRequest> run = Sync(port, notify_, "device");

  std::set<int> sent;
  size_t posts = 0;
  const std::string marker = "&count=1000&type=1&value=";
  for (const NotifyRequest& r : run) {
    if (r.request_line.rfind("POST /?action=progress", 0) != 0) continue;
    ++posts;
    const size_t at = r.request_line.find(marker);
    ASSERT_NE(at, std::string::npos) << r.request_line;
    sent.insert(std::stoi(r.request_line.substr(at + marker.size())));
  }
  std::set<int> expected;
  for (int i = 1; i <= 950; ++i) expected.insert(i);
  for (int i : {960, 970, 980, 990, 1000}) expected.insert(i);
  EXPECT_EQ(posts, 955u);
  EXPECT_EQ(sent, expected);
}

}  // namespace
