// The notes routes as the engine sees them, and what they answer from it:
// the engine's test flavour records the calls that carry a route's arguments
// (from, version, flags, force, type, the ids and texts), which the engine
// itself keeps no trace of, and answers with a content path or a node list
// of the test's choosing. The service runs in this process, beside the
// flavour, so that the note data clock can be set.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kivvet/rk_note_data_clock.h"
#include "rk_in_process_service.h"
#include "rk_kivvet_test_service.h"
#include "rk_kivvet_test_support.h"
#include "rk_note_data_test_support.h"
#include "rk_storage_test_support.h"
#include "rk_test_http.h"
#include "rk_test_wait.h"
#include "rkservice.h"

namespace rkservice {
namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;
using Json = nlohmann::json;
using rktest::HttpReply;

constexpr char kFolder[] = "0000000A-0000-0000-0000-000000000000";
constexpr char kNote1[] = "000000C1-0000-0000-0000-000000000000";
constexpr char kNote2[] = "000000C2-0000-0000-0000-000000000000";
constexpr char kUnknown[] = "0BADF00D-0000-4000-8000-000000000000";

using rktest::Date;
using rktest::kDownloadFailed;
using rktest::kNotDownloaded;

std::string IdBody(const std::string& id, const std::string& more = {}) {
  return "{\"id\":\"" + id + "\"" + more + "}";
}

class KivvetEngineView : public testing::Test {
 protected:
  // The logger starts once in a process; the tests read it through a capture.
  static fs::path LogFolder() {
    return fs::temp_directory_path() / ("rk_kivvet_engine_view_" + std::to_string(getpid()));
  }
  static void SetUpTestSuite() {
    RkServiceManager::GetInstance()->StartLogger((LogFolder() / "test.log").string(), kRkLogTrace);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(LogFolder(), ec);
  }

  void SetUp() override {
    // The service loads the flavour beside it; this process holds the same
    // copy.
    library_ = std::make_unique<rktest::KivvetLibrary>(rktest::TestingEngineLibraryPath());
    ASSERT_TRUE(library_->ok()) << library_->error();
    void* module = dlopen(rktest::TestingEngineLibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    calls_ = reinterpret_cast<rkkivvet::RkKivvetTestCallsFn>(dlsym(module, rkkivvet::kRkKivvetTestCallsName));
    set_content_path_ = reinterpret_cast<rkkivvet::RkKivvetTestSetContentPathFn>(
        dlsym(module, rkkivvet::kRkKivvetTestSetContentPathName));
    set_nodes_under_ = reinterpret_cast<rkkivvet::RkKivvetTestSetNodesUnderFn>(
        dlsym(module, rkkivvet::kRkKivvetTestSetNodesUnderName));
    ASSERT_NE(calls_, nullptr);
    ASSERT_NE(set_content_path_, nullptr);
    ASSERT_NE(set_nodes_under_, nullptr);
    ASSERT_EQ(fs::canonical(rktest::TestingEngineLibraryPath()).parent_path(), fs::canonical("/proc/self/exe").parent_path())
        << "the service would load another engine";

    FillStore(root_ / "ann" / "Kivvet" / "Kivvet.dat");
    port_ = rktest::FreeLoopbackPort();
    ASSERT_TRUE(rktest::StartInProcessService("notes", port_, root_.string(), "http://127.0.0.1:9/notify"));
    // Makes the handler, its engine and the store.
    ASSERT_EQ(Send("GET", "/kivvet/hit").status, 200);
  }

  void TearDown() override {
    RkServiceManager::GetInstance()->RemoveAllService();
    RkNoteDataClock::SetForTesting({}, {});
    if (set_nodes_under_ != nullptr) set_nodes_under_(nullptr);
    for (const char* id : {kNote1, kNote2}) {
      if (set_content_path_ == nullptr) break;
      const rkkivvet::RkGuid guid = rktest::Guid(id);
      set_content_path_(&guid, nullptr);
    }
  }

  // root: folder A (note 1 with a url), note 2 without content, and a chain
  // of kChain folders f1, f2, ... with the note "deep" in f256 and the note
  // "too deep" in the last.
  void FillStore(const fs::path& file) {
    fs::create_directories(file.parent_path());
    rktest::Engine engine(*library_);
    ASSERT_TRUE(engine.ok() && engine.Open(file));
    const rkkivvet::RkGuid root = rktest::Guid(rktest::kRoot), folder = rktest::Guid(kFolder),
                           n1 = rktest::Guid(kNote1), n2 = rktest::Guid(kNote2);
    ASSERT_TRUE(engine->CreateFolder(&root, u"A", 0, 0, &folder, false));
    ASSERT_TRUE(engine->CreateNote(&folder, u"one", 0, 0, u"http://a.test/1", u"", u"", -1, &n1, false));
    ASSERT_TRUE(engine->CreateNote(&root, u"two", 0, 2, u"http://b.test/2", u"", u"", -1, &n2, false));
    rkkivvet::RkGuid parent = root;
    for (uint32_t level = 1; level <= kChain; ++level) {
      const rkkivvet::RkGuid link = {level, 0xF, 0, {}};
      const std::string name = "f" + std::to_string(level);
      ASSERT_TRUE(engine->CreateFolder(&parent, rktest::U16(name).c_str(), 0, 0, &link, false));
      parent = link;
      const rkkivvet::RkGuid note = {level, 0xE, 0, {}};
      const char16_t* note_name = level == 256 ? u"deep" : level == kChain ? u"too deep" : nullptr;
      if (note_name != nullptr) {
        ASSERT_TRUE(engine->CreateNote(&link, note_name, 0, 0, u"http://deep.test/", u"", u"", -1, &note, false));
      }
    }
  }

  static constexpr uint32_t kChain = 300;

  HttpReply Send(const std::string& method, const std::string& target, const std::string& body = {}) {
    return rktest::KivvetRequest(port_, method, target, body);
  }

  // The calls the engine recorded while `request` ran.
  template <typename Request>
  Calls CallsDuring(Request request) {
    const int32_t before = calls_(0, nullptr);
    request();
    Calls calls;
    EXPECT_GE(calls_(before, &calls), before);
    return calls;
  }

  rktest::KivvetTempDir temp_;
  const fs::path root_ = temp_.path() / "root";
  std::unique_ptr<rktest::KivvetLibrary> library_;
  rkkivvet::RkKivvetTestCallsFn calls_ = nullptr;
  rkkivvet::RkKivvetTestSetContentPathFn set_content_path_ = nullptr;
  rkkivvet::RkKivvetTestSetNodesUnderFn set_nodes_under_ = nullptr;
  int port_ = 0;
};

TEST_F(KivvetEngineView, NoteMetaIsForcedByTheKeyWhateverItsValue) {
  const struct {
    const char* query;
    const char* call;
  } cases[] = {
      {"", "GetNoteMeta 0"},        {"?force", "GetNoteMeta 0"},   // without "=" the key is absent
      {"?force=", "GetNoteMeta 1"}, {"?force=0", "GetNoteMeta 1"}, {"?force=false", "GetNoteMeta 1"},
      {"?x=1", "GetNoteMeta 0"},
  };
  for (const auto& c : cases) {
    HttpReply reply;
    const Calls calls = CallsDuring([&] { reply = Send("GET", std::string("/kivvet/get_notemeta") + c.query); });
    EXPECT_EQ(reply.status, 200) << c.query;
    EXPECT_EQ(calls, Calls{c.call}) << c.query;
  }
}

TEST_F(KivvetEngineView, ChangeRoutesHandOnFromVersionAndFlags) {
  const std::string n1 = kNote1;
  const std::string n2 = kNote2;
  const std::string image = "<img src=\\\"file:///x/ResCache/A.png\\\">";  // a stored reference: has resources
  const struct {
    const char* method;
    const char* target;
    std::string body;
    int status;
    Calls calls;
  } cases[] = {
      {"POST", "/kivvet/content", IdBody(n1, ",\"content\":\"<p>a</p>\",\"version\":3,\"from\":1"), 200,
       {"ClearNoteResources " + n1, "SaveContent " + n1 + " 8 3 0 1"}},
      {"POST", "/kivvet/content", IdBody(n1, ",\"content\":\"<p>a</p>\""), 200,
       {"ClearNoteResources " + n1, "SaveContent " + n1 + " 8 -1 0 -1"}},
      {"POST", "/kivvet/content",
       IdBody(n1, ",\"content\":\"" + image + "\",\"version\":-2147483648,\"from\":2147483647"), 200,
       {"SaveContent " + n1 + " 36 -2147483648 1 2147483647"}},
      {"PUT", "/kivvet/note/url", IdBody(n1, ",\"url\":\"http://n.test/\",\"from\":7"), 200,
       {"SetNoteUrl " + n1 + " http://n.test/ 7"}},
      {"PUT", "/kivvet/note/url", IdBody(n1, ",\"url\":\"\""), 200, {"SetNoteUrl " + n1 + "  -1"}},
      {"PUT", "/kivvet/folder/minimalist", IdBody(kFolder, ",\"from\":2"), 200,
       {std::string("SetFolderMinimalist ") + kFolder + " 2"}},
      {"PUT", "/kivvet/folder/minimalist", IdBody(kFolder), 200, {std::string("SetFolderMinimalist ") + kFolder + " -1"}},
      {"POST", "/kivvet/favorite", IdBody(n1), 200, {"AddFavorite " + n1 + " 0"}},
      {"DELETE", "/kivvet/favorite", IdBody(n1), 200, {"RemoveFavorite " + n1 + " 0"}},
      {"POST", "/kivvet/favorite", "{\"id\":[\"" + n1 + "\",\"" + kUnknown + "\",\"" + n2 + "\"]}", 200,
       {"AddFavorite " + n1 + " 0", std::string("AddFavorite ") + kUnknown + " 0", "AddFavorite " + n2 + " 0"}},
      {"DELETE", "/kivvet/favorite", "{\"id\":[\"" + n2 + "\",\"" + n1 + "\"]}", 200,
       {"RemoveFavorite " + n2 + " 0", "RemoveFavorite " + n1 + " 0"}},
      {"PUT", "/kivvet/note/content/download", IdBody(n1), 200, {"DownloadNoteContent " + n1}},
      // An empty id reaches the engine as no id.
      {"PUT", "/kivvet/note/content/download", IdBody(""), 200, {"DownloadNoteContent "}},
      {"POST", "/kivvet/note/importbookmarks", "", 500, {"ImportBookmarks "}},
      {"POST", "/kivvet/note/importbookmarks", "[{\"title\":\"t\",\"url\":\"http://t.test/\"}]", 200,
       {"ImportBookmarks [{\"title\":\"t\",\"url\":\"http://t.test/\"}]"}},
      {"GET", "/kivvet/bookmarksallurlnotes?type=12x", "", 200, {"GetBookmarkUrlNotes 12"}},
      {"GET", "/kivvet/bookmarksallurlnotes?type=abc", "", 200, {"GetBookmarkUrlNotes 0"}},
      {"GET", "/kivvet/bookmarksallurlnotes?type=-3", "", 200, {"GetBookmarkUrlNotes -3"}},
      {"GET", "/kivvet/bookmarksallurlnotes?type=2&with_folder=1", "", 200, {}},
  };
  for (const auto& c : cases) {
    HttpReply reply;
    const Calls calls = CallsDuring([&] { reply = Send(c.method, c.target, c.body); });
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.target << " " << c.body << "\n" << reply.body;
    EXPECT_EQ(calls, c.calls) << c.method << " " << c.target << " " << c.body;
  }
}

TEST_F(KivvetEngineView, MissingContentIsAskedOfTheEngineOnlyBeforeAugust2024WithDownIfMissing) {
  std::tm today = Date(2024, 7, 31);
  int pauses = 0;
  RkNoteDataClock::SetForTesting([&] { return today; }, [&](std::chrono::milliseconds) { ++pauses; });
  const std::string n2 = kNote2;
  const std::string check = "GetNoteContentPath " + n2 + " 1";
  const struct {
    std::tm date;
    const char* query;
    const char* body;
    Calls calls;
  } cases[] = {
      {Date(2024, 7, 31), "&downIfMissing=", kDownloadFailed, {check, "RequestMissingContent " + n2, check, check, check}},
      {Date(2023, 1, 1), "&downIfMissing=0", kDownloadFailed, {check, "RequestMissingContent " + n2, check, check, check}},
      {Date(2024, 7, 31), "", kNotDownloaded, {check}},
      {Date(2024, 7, 31), "&downIfMissing", kNotDownloaded, {check}},  // without "=" the key is absent
      {Date(2024, 8, 1), "&downIfMissing=1", kDownloadFailed, {check}},
      {Date(2030, 1, 1), "&downIfMissing=1", kDownloadFailed, {check}},
  };
  for (const auto& c : cases) {
    today = c.date;
    HttpReply reply;
    const std::string target = "/kivvet/get_notedata?id=" + n2 + c.query;
    const Calls calls = CallsDuring([&] { reply = Send("GET", target); });
    EXPECT_EQ(reply.status, 200) << target;
    EXPECT_EQ(reply.body, c.body) << target;
    EXPECT_EQ(calls, c.calls) << target << " on " << c.date.tm_year + 1900 << "-" << c.date.tm_mon + 1;
  }
  EXPECT_EQ(pauses, 6);
}

TEST_F(KivvetEngineView, AnEmptyContentPathAnswersEmptyContentAndIsLogged) {
  rktest::LogCapture log;
  const rkkivvet::RkGuid n1 = rktest::Guid(kNote1);
  ASSERT_EQ(set_content_path_(&n1, ""), 0);
  HttpReply reply;
  const Calls calls = CallsDuring([&] { reply = Send("GET", std::string("/kivvet/get_notedata?id=") + kNote1); });
  EXPECT_EQ(calls, Calls{std::string("GetNoteContentPath ") + kNote1 + " 1"});
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "{\"code\":0,\"content\":\"\",\"path\":\"\",\"version\":0}");
  const auto lines = log.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const rktest::LogCapture::Line& line) {
                            return line.level == spdlog::level::err && line.text == "can not read file ";
                          }),
            1);

  // A path the test chose is read like the engine's own.
  const fs::path file = temp_.path() / "chosen.html";
  std::ofstream(file) << "<p>chosen</p>";
  ASSERT_EQ(set_content_path_(&n1, file.c_str()), 0);
  const Json data = Json::parse(Send("GET", std::string("/kivvet/get_notedata?id=") + kNote1).body);
  EXPECT_EQ(data.at("content"), "<p>chosen</p>");
  EXPECT_EQ(data.at("path"), file.string());
}

TEST_F(KivvetEngineView, FolderMinimalistAnswersWhatTheEngineDid) {
  rktest::LogCapture log;
  // The listing shows the folder's flag, as the engine keeps it.
  const auto flag = [&] {
    const Json flat = Json::parse(Send("GET", "/kivvet/allurlnotes?with_folder=1").body);
    for (const Json& node : flat.at("nodes")) {
      if (node.at("id") == kFolder) return node.at("minimalist").get<int>();
    }
    return -1;
  };
  ASSERT_EQ(flag(), 0);
  EXPECT_EQ(Send("PUT", "/kivvet/folder/minimalist", IdBody(kFolder)).body, "{}");
  EXPECT_EQ(flag(), 1);
  EXPECT_EQ(Send("PUT", "/kivvet/folder/minimalist", IdBody(kFolder, ",\"from\":1")).status, 200);
  EXPECT_EQ(flag(), 0);

  // The engine switches nothing for a note, the root or an unknown id.
  for (const char* id : {kNote1, rktest::kRoot, kUnknown}) {
    const HttpReply reply = Send("PUT", "/kivvet/folder/minimalist", IdBody(id));
    EXPECT_EQ(reply.status, 500) << id;
    EXPECT_EQ(reply.body, "{}") << id;
    EXPECT_EQ(log.Count(std::string("Set folder minimalist error. id=") + id), 1u) << id;
  }
  EXPECT_EQ(flag(), 0);
  EXPECT_TRUE(rktest::WaitUntil([&] {
    return log.Count("PUT: /kivvet/folder/minimalist returned false, maybe return code:500") == 3;
  }));
}

TEST_F(KivvetEngineView, FolderListingReadsTheEnginesDeepestTree) {
  // The engine lists folders down to f257 (516 levels of JSON), the note
  // "deep" in f256 among them; the one in f300 lies below what it lists.
  std::vector<std::string> chain;
  for (int level = 1; level <= 256; ++level) chain.push_back("f" + std::to_string(level));
  for (const char* target : {"/kivvet/allurlnotes?with_folder=1", "/kivvet/bookmarksallurlnotes?with_folder=true"}) {
    const HttpReply reply = Send("GET", target);
    ASSERT_EQ(reply.status, 200) << target << " " << reply.body.substr(0, 200);
    const Json flat = Json::parse(reply.body).at("nodes");
    std::vector<std::string> names;
    for (const Json& node : flat) names.push_back(node.at("fn").get<std::string>());
    std::vector<std::string> expected = {"A", "one", "two"};
    expected.insert(expected.end(), chain.begin(), chain.end());
    expected.push_back("deep");
    EXPECT_EQ(names, expected) << target;
    ASSERT_EQ(flat.size(), expected.size());
    EXPECT_EQ(flat.back().at("paths").get<std::vector<std::string>>(), chain) << target;
    EXPECT_EQ(flat.at(3 + 62).at("paths").size(), 62u) << target;  // f63, where the library's reader stopped
  }
}

TEST_F(KivvetEngineView, AFailedFolderListingSaysWhatFailed) {
  rktest::LogCapture log;
  const auto nested = [](int levels, const std::string& inside) {
    return std::string(levels, '[') + inside + std::string(levels, ']');
  };
  const struct {
    std::string nodes;
    std::string line;  // the start of the logged line
  } cases[] = {
      {"{\"nodes\":[", "kivvet node list is not JSON: "},
      {"{\"nodes\":[{\"ft\":1,\"fn\":\"\\ud800\"}]}", "kivvet node list is not JSON: "},
      {"{\"node\":[]}", "kivvet node list is not an object with a nodes array (11 bytes)"},
      {"{\"nodes\":{}}", "kivvet node list is not an object with a nodes array (12 bytes)"},
      {nested(200, "x"), "kivvet node list is not JSON: syntax error at byte "},
      {nested(1025, ""), "kivvet node list is not JSON: nested deeper than 1024 levels (2050 bytes)"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(set_nodes_under_(c.nodes.c_str()), 0);
    log.Clear();
    const HttpReply reply = Send("GET", "/kivvet/allurlnotes?with_folder=1");
    EXPECT_EQ(reply.status, 500) << c.nodes.substr(0, 80);
    EXPECT_EQ(reply.body, "{}") << c.nodes.substr(0, 80);
    const auto lines = log.Texts();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) { return line.rfind(c.line, 0) == 0; }),
              1)
        << c.nodes.substr(0, 80) << "\n" << testing::PrintToString(lines);
  }
  // A list as deep as the bound is answered.
  ASSERT_EQ(set_nodes_under_(("{\"nodes\":" + nested(1023, "") + "}").c_str()), 0);
  const HttpReply deepest = Send("GET", "/kivvet/allurlnotes?with_folder=1");
  EXPECT_EQ(deepest.status, 200);
  EXPECT_EQ(deepest.body, "{\"nodes\":[]}");
}

}  // namespace
}  // namespace rkservice
