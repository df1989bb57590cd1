// The notes engine library (libRkKivvet.so) loaded with dlopen, as the
// service loads it: its store, its answers, its threads and its observer.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rk_kivvet_test_support.h"
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

std::string B(bool value) { return value ? "true" : "false"; }

// Blocks a callback until the test releases it.
class BlockingCallback {
 public:
  void Block() {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
    finished_ = true;
  }
  bool WaitEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, rktest::kEventWait, [this] { return entered_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  bool finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool released_ = false;
  bool finished_ = false;
};

class KivvetEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.ok()) << library_.error();
    ASSERT_TRUE(engine_.ok());
    ASSERT_TRUE(engine_.Open(store_));
  }

  // A sink answer: "false", or the text it holds.
  template <typename F>
  static std::string Answer(F&& call) {
    ByteSink sink;
    return call(&sink) ? sink.Text() : "false";
  }
  std::string Info(const std::string& id) {
    const RkGuid guid = Guid(id);
    return Answer([&](ByteSink* sink) { return engine_->GetNodeInfo(&guid, sink); });
  }
  Json InfoJson(const std::string& id) { return Json::parse(Info(id)); }
  bool Folder(const std::string& parent, const std::string& id, const std::string& name) {
    const RkGuid p = Guid(parent), g = Guid(id);
    return engine_->CreateFolder(&p, U16(name).c_str(), 0, 0, &g, false);
  }
  bool Note(const std::string& parent, const std::string& id, const std::string& name, int32_t et = 0,
            const std::string& url = "") {
    const RkGuid p = Guid(parent), g = Guid(id);
    return engine_->CreateNote(&p, U16(name).c_str(), 0, et, U16(url).c_str(), u"sum", u"tu", -1, &g, false);
  }
  int32_t Save(const std::string& id, const std::string& html, bool has_resources = false) {
    const RkGuid g = Guid(id);
    return engine_->SaveContent(&g, html.data(), static_cast<int32_t>(html.size()), -1, has_resources, -1);
  }
  std::string Resource(const std::string& name, const std::string& data, const std::string& ext) {
    return Answer([&](ByteSink* sink) {
      return engine_->SaveResource(U16(name).c_str(), reinterpret_cast<const uint8_t*>(data.data()),
                                   static_cast<int32_t>(data.size()), 10, U16(ext).c_str(), sink);
    });
  }
  // The observer's callback for the import blocks until released.
  void BlockInTheNextImportEvent(BlockingCallback* blocking) {
    engine_->SetObserver(&observer_);
    observer_.SetHook([blocking](const RecordingObserver::Call& call) {
      if (call.position == 7) blocking->Block();
    });
    EXPECT_EQ(Import("[]"), R"({"count":0})");
  }
  std::string Import(const std::string& body) {
    const std::u16string text = U16(body);
    std::string out;
    return engine_->ImportBookmarks(&text, &out) ? out : "false";
  }

  rktest::TempDir dir_;
  const fs::path store_ = dir_.path() / "Kivvet.dat";
  rktest::KivvetLibrary library_;
  // Outlive the engine, which may call them until it is gone.
  RecordingObserver observer_;
  RecordingObserver next_;
  rktest::Engine engine_{library_};
};

constexpr char kFolderA[] = "0000000A-0000-0000-0000-000000000000";
constexpr char kFolderB[] = "0000000B-0000-0000-0000-000000000000";
constexpr char kNote1[] = "000000C1-0000-0000-0000-000000000000";
constexpr char kNote2[] = "000000C2-0000-0000-0000-000000000000";
constexpr char kUnknown[] = "DEADBEEF-0000-0000-0000-000000000000";
constexpr char kZero[] = "00000000-0000-0000-0000-000000000000";
constexpr char kHash[] = "0123456789ABCDEF0123456789ABCDEF";

TEST_F(KivvetEngineTest, ANewStoreHoldsOnlyItsRoot) {
  RkGuid root;
  engine_->GetRootId(&root);
  EXPECT_EQ(Text(root), kRoot);
  EXPECT_EQ(engine_->CountChildren(&root), 0);
  EXPECT_EQ(Answer([&](ByteSink* s) { return engine_->GetNodesUnder(&root, s); }), R"({"nodes":[]})");
  EXPECT_EQ(rktest::SqliteFile(store_.string()).Value("PRAGMA journal_mode;"), "delete");
}

// What the operations give for ids, arguments and stores they cannot serve.
TEST_F(KivvetEngineTest, OperationsRefuseWhatTheyCannotServe) {
  ASSERT_TRUE(Folder(kRoot, kFolderA, "A"));
  ASSERT_TRUE(Note(kFolderA, kNote1, "one"));
  const RkGuid unknown = Guid(kUnknown), zero = Guid(kZero), note = Guid(kNote1), folder = Guid(kFolderA);
  const RkGuid root = Guid(kRoot);
  RkGuid out = {};
  ByteSink sink;
  const struct {
    const char* name;
    std::function<std::string()> run;
    std::string expected;
  } cases[] = {
      {"node info, unknown id", [&] { return Info(kUnknown); }, "false"},
      {"node info, zero id", [&] { return Info(kZero); }, "false"},
      {"node info, null id", [&] { return B(engine_->GetNodeInfo(nullptr, &sink)); }, "false"},
      {"node info, null sink", [&] { return B(engine_->GetNodeInfo(&note, nullptr)); }, "false"},
      {"children, unknown id", [&] { return std::to_string(engine_->CountChildren(&unknown)); }, "-1"},
      {"children, zero id", [&] { return std::to_string(engine_->CountChildren(&zero)); }, "-1"},
      {"version, unknown id", [&] { return std::to_string(engine_->GetNoteVersion(&unknown)); }, "-1"},
      {"version, folder", [&] { return std::to_string(engine_->GetNoteVersion(&folder)); }, "-1"},
      {"minimalist, unknown id", [&] { return std::to_string(engine_->SetFolderMinimalist(&unknown, 0)); }, "0"},
      {"minimalist, a note", [&] { return std::to_string(engine_->SetFolderMinimalist(&note, 0)); }, "0"},
      {"minimalist, the root", [&] { return std::to_string(engine_->SetFolderMinimalist(&root, 0)); }, "0"},
      {"favourite, unknown id", [&] { return B(engine_->AddFavorite(&unknown, &out, 0)); }, "false"},
      {"favourite, zero id", [&] { return B(engine_->AddFavorite(&zero, &out, 0)); }, "false"},
      {"favourite, the root", [&] { return B(engine_->AddFavorite(&root, &out, 0)); }, "false"},
      {"remove favourite, none", [&] { return B(engine_->RemoveFavorite(&note, 0)); }, "false"},
      {"url, folder", [&] { return B(engine_->SetNoteUrl(&folder, u"https://a.test/", 0)); }, "false"},
      {"url, unknown id", [&] { return B(engine_->SetNoteUrl(&unknown, u"https://a.test/", 0)); }, "false"},
      {"url, null url", [&] { return B(engine_->SetNoteUrl(&note, nullptr, 0)); }, "false"},
      {"content, unknown id", [&] { return std::to_string(Save(kUnknown, "<p>")); }, "1"},
      {"content, folder", [&] { return std::to_string(Save(kFolderA, "<p>")); }, "1"},
      {"content, negative length", [&] { return std::to_string(engine_->SaveContent(&note, "x", -1, -1, false, -1)); }, "2"},
      {"content, null text", [&] { return std::to_string(engine_->SaveContent(&note, nullptr, 3, -1, false, -1)); }, "2"},
      {"content path, none saved", [&] { return Answer([&](ByteSink* s) { return engine_->GetNoteContentPath(&note, s, true); }); }, "false"},
      {"clear resources, unknown id", [&] { return B(engine_->ClearNoteResources(&unknown)); }, "false"},
      {"nodes under, unknown id", [&] { return Answer([&](ByteSink* s) { return engine_->GetNodesUnder(&unknown, s); }); }, "false"},
      {"nodes under, a note", [&] { return Answer([&](ByteSink* s) { return engine_->GetNodesUnder(&note, s); }); }, R"({"nodes":[]})"},
      {"path, unknown id", [&] { return Answer([&](ByteSink* s) { return engine_->GetNodePath(&unknown, s); }); }, "false"},
      {"note under a note", [&] { return B(Note(kNote1, kNote2, "x")); }, "false"},
      {"note with an id in use", [&] { return B(Note(kRoot, kFolderA, "x")); }, "false"},
      {"note with the zero id", [&] { return B(Note(kRoot, kZero, "x")); }, "false"},
      {"note with a negative et", [&] { return B(Note(kRoot, kNote2, "x", -1)); }, "false"},
      {"folder under an unknown parent", [&] { return B(Folder(kUnknown, kFolderB, "x")); }, "false"},
      {"url count, empty url", [&] { return std::to_string(engine_->GetUrlNoteCount(u"")); }, "0"},
      {"url count, null url", [&] { return std::to_string(engine_->GetUrlNoteCount(nullptr)); }, "0"},
      {"content download, no sync details", [&] { return std::to_string(engine_->DownloadNoteContent(&note)); }, "0"},
      {"download nodes, no sync details", [&] { return B(engine_->DownloadNodes()); }, "false"},
      {"sync, no sync details", [&] { return B(engine_->DoSync()); }, "false"},
      {"http test, no sync details", [&] { return Answer([&](ByteSink* s) { return engine_->TestHttpRes(s); }); }, "false"},
      {"reset sync, null list", [&] { return B(engine_->ResetSyncVersion(nullptr)); }, "false"},
      {"resource, empty data", [&] { return Resource(kHash, "", "png"); }, "false"},
      {"resource, null data", [&] { return B(engine_->SaveResource(U16(kHash).c_str(), nullptr, 4, 10, u"png", &sink)); }, "false"},
      {"resource, negative length", [&] { return B(engine_->SaveResource(U16(kHash).c_str(), reinterpret_cast<const uint8_t*>("x"), -1, 10, u"png", &sink)); }, "false"},
      {"resource, 31 digits", [&] { return Resource(std::string(kHash).substr(1), "x", "png"); }, "false"},
      {"resource, 33 digits", [&] { return Resource(std::string(kHash) + "0", "x", "png"); }, "false"},
      {"resource, not hex", [&] { return Resource("0123456789ABCDEF0123456789ABCDEG", "x", "png"); }, "false"},
      {"resource, path in the name", [&] { return Resource("../3456789ABCDEF0123456789ABCDEF", "x", "png"); }, "false"},
      {"resource, null name", [&] { return B(engine_->SaveResource(nullptr, reinterpret_cast<const uint8_t*>("x"), 1, 10, u"png", &sink)); }, "false"},
      {"bookmarks, not JSON", [&] { return Import("[{\"title\":"); }, "false"},
      {"bookmarks, an object without a list", [&] { return Import(R"({"items":[]})"); }, "false"},
      {"bookmarks, a number", [&] { return Import("3"); }, "false"},
      {"bookmarks, list not an array", [&] { return Import(R"({"bookmarks":{}})"); }, "false"},
      {"bookmarks, empty body", [&] { return Import(""); }, "false"},
      {"bookmarks, null body", [&] { std::string o; return B(engine_->ImportBookmarks(nullptr, &o)); }, "false"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.run(), c.expected) << c.name;
  // Nothing of that changed the store.
  EXPECT_EQ(engine_->CountChildren(&root), 1);
  EXPECT_EQ(engine_->CountChildren(&folder), 1);
  EXPECT_FALSE(fs::exists(dir_.path() / "ResCache"));
}

TEST_F(KivvetEngineTest, AClosedStoreAnswersNothing) {
  ASSERT_TRUE(Note(kRoot, kNote1, "one", 0, "https://a.test/"));
  engine_->CloseStore();
  const RkGuid note = Guid(kNote1), root = Guid(kRoot);
  RkGuid out = {1, 0, 0, {}};
  std::string text;
  const std::vector<RkGuid> ids = {note};
  const std::u16string body = u"[]";
  const struct {
    const char* name;
    std::function<std::string()> run;
    std::string expected;
  } cases[] = {
      {"root", [&] { engine_->GetRootId(&out); return Text(out); }, kZero},
      {"node info", [&] { return Info(kNote1); }, "false"},
      {"children", [&] { return std::to_string(engine_->CountChildren(&root)); }, "-1"},
      {"nodes under", [&] { return Answer([&](ByteSink* s) { return engine_->GetNodesUnder(&root, s); }); }, "false"},
      {"url notes", [&] { return Answer([&](ByteSink* s) { return engine_->GetAllUrlNotes(s); }); }, "false"},
      {"bookmark url notes", [&] { return B(engine_->GetBookmarkUrlNotes(0, &text)); }, "false"},
      {"meta", [&] { return B(engine_->GetNoteMeta(&text, true)); }, "false"},
      {"url count", [&] { return std::to_string(engine_->GetUrlNoteCount(u"https://a.test/")); }, "0"},
      {"version", [&] { return std::to_string(engine_->GetNoteVersion(&note)); }, "-1"},
      {"content", [&] { return std::to_string(Save(kNote1, "<p>")); }, "1"},
      {"resource", [&] { return Resource(kHash, "x", "png"); }, "false"},
      {"bookmarks", [&] { return B(engine_->ImportBookmarks(&body, &text)); }, "false"},
      {"reset sync", [&] { return B(engine_->ResetSyncVersion(&ids)); }, "false"},
      {"folder", [&] { return B(Folder(kRoot, kFolderA, "A")); }, "false"},
      {"favourite", [&] { return B(engine_->AddFavorite(&note, &out, 0)); }, "false"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.run(), c.expected) << c.name;
  // Opened again, it is all there.
  ASSERT_TRUE(engine_.Open(store_));
  EXPECT_EQ(InfoJson(kNote1)["url"], "https://a.test/");
}

TEST_F(KivvetEngineTest, AnswersKeepTheirShapes) {
  ASSERT_TRUE(Folder(kRoot, kFolderA, "A"));
  ASSERT_TRUE(Folder(kFolderA, kFolderB, "B"));
  ASSERT_TRUE(Note(kFolderA, kNote1, "one", 0, "https://a.test/1"));
  ASSERT_TRUE(Note(kRoot, kNote2, "two", 3, "https://b.test/"));
  EXPECT_EQ(Import(R"([{"title":"Mark","url":"https://c.test/"},{"title":"no url"},7])"), R"({"count":1})");
  EXPECT_EQ(Import(R"({"bookmarks":[{"url":"https://d.test/"}]})"), R"({"count":1})");
  EXPECT_EQ(Import("[]"), R"({"count":0})");
  const RkGuid root = Guid(kRoot), note1 = Guid(kNote1), folder_a = Guid(kFolderA);

  const Json tree = Json::parse(Answer([&](ByteSink* s) { return engine_->GetNodesUnder(&root, s); }));
  ASSERT_EQ(tree["nodes"].size(), 4u);
  const Json& a = tree["nodes"][0];
  EXPECT_EQ(a["id"], kFolderA);
  EXPECT_EQ(a["ft"], 0);
  EXPECT_EQ(a["fn"], "A");
  ASSERT_EQ(a["nodes"].size(), 2u);
  EXPECT_EQ(a["nodes"][0]["fn"], "B");
  EXPECT_EQ(a["nodes"][0]["nodes"], Json::array());
  EXPECT_EQ(a["nodes"][1]["id"], kNote1);
  EXPECT_EQ(a["nodes"][1]["ft"], 1);
  EXPECT_FALSE(a["nodes"][1].contains("nodes"));
  EXPECT_EQ(tree["nodes"][1]["fn"], "two");
  EXPECT_EQ(tree["nodes"][2]["fn"], "Mark");
  EXPECT_EQ(tree["nodes"][2]["et"], 2);
  EXPECT_EQ(tree["nodes"][3]["fn"], "https://d.test/");
  EXPECT_EQ(engine_->CountChildren(&root), 4);

  const Json all = Json::parse(Answer([&](ByteSink* s) { return engine_->GetAllUrlNotes(s); }));
  std::vector<std::string> urls;
  for (const Json& n : all["nodes"]) urls.push_back(n["url"]);
  EXPECT_EQ(urls, (std::vector<std::string>{"https://a.test/1", "https://b.test/", "https://c.test/", "https://d.test/"}));
  std::string text;
  ASSERT_TRUE(engine_->GetBookmarkUrlNotes(3, &text));
  EXPECT_EQ(Json::parse(text)["nodes"].size(), 1u);
  ASSERT_TRUE(engine_->GetBookmarkUrlNotes(2, &text));
  EXPECT_EQ(Json::parse(text)["nodes"].size(), 2u);
  ASSERT_TRUE(engine_->GetBookmarkUrlNotes(0, &text));
  EXPECT_EQ(Json::parse(text), all);
  EXPECT_EQ(engine_->GetUrlNoteCount(u"https://a.test/1"), 1);

  const RkGuid folder_b = Guid(kFolderB);
  EXPECT_EQ(Answer([&](ByteSink* s) { return engine_->GetNodePath(&folder_b, s); }),
            R"({"id":"0000000B-0000-0000-0000-000000000000","path":[{"fn":"A","id":"0000000A-0000-0000-0000-000000000000"}]})");
  EXPECT_EQ(Answer([&](ByteSink* s) { return engine_->GetNodePath(&root, s); }),
            R"({"id":"00000001-0000-0000-0000-000000000000","path":[]})");

  // Content: a readable file, its version bumped by every save.
  EXPECT_EQ(engine_->GetNoteVersion(&note1), 0);
  ASSERT_EQ(Save(kNote1, "<p>first</p>"), 0);
  ASSERT_EQ(Save(kNote1, "<p>second</p>"), 0);
  EXPECT_EQ(engine_->GetNoteVersion(&note1), 2);
  const std::string path = Answer([&](ByteSink* s) { return engine_->GetNoteContentPath(&note1, s, true); });
  EXPECT_EQ(ReadAll(path), "<p>second</p>");
  EXPECT_TRUE(InfoJson(kNote1)["has_content"].get<bool>());

  // Resources: stored once under their digest, referenced from the content.
  const std::string reference = Resource("0123456789abcdef0123456789abcdef", "PNGDATA", "p.n/g");
  EXPECT_EQ(reference, "file://" + (dir_.path() / "ResCache" / (std::string(kHash) + ".png")).string());
  EXPECT_EQ(ReadAll(reference.substr(7)), "PNGDATA");
  const std::string cache = "file://" + (dir_.path() / "ResCache" / kHash).string();
  EXPECT_EQ(Resource(kHash, "PNGDATA", "../x"), cache + ".x");
  EXPECT_EQ(Resource(kHash, "PNGDATA", ""), cache);
  ASSERT_EQ(Save(kNote1, "<img src=\"" + reference + "\">", true), 0);
  EXPECT_EQ(InfoJson(kNote1)["res"], 1);
  EXPECT_TRUE(engine_->ClearNoteResources(&note1));
  EXPECT_EQ(InfoJson(kNote1)["res"], 0);

  // Favourites have ids of their own.
  RkGuid favorite = {};
  ASSERT_TRUE(engine_->AddFavorite(&note1, &favorite, 0));
  EXPECT_NE(Text(favorite), kZero);
  EXPECT_NE(Text(favorite), kNote1);
  RkGuid again = {};
  ASSERT_TRUE(engine_->AddFavorite(&note1, &again, 3));
  EXPECT_EQ(Text(again), Text(favorite));
  EXPECT_TRUE(InfoJson(kNote1)["fav"].get<bool>());
  ASSERT_TRUE(engine_->GetNoteMeta(&text, false));
  const Json meta = Json::parse(text);
  EXPECT_EQ(meta["root"], kRoot);
  EXPECT_EQ(meta["folders"], 2);
  EXPECT_EQ(meta["notes"], 4);
  EXPECT_EQ(meta["favorites"], Json::parse(R"([{"fid":")" + Text(favorite) + R"(","flags":0,"id":")" + kNote1 + "\"}]"));
  EXPECT_TRUE(engine_->RemoveFavorite(&note1, 0));
  EXPECT_FALSE(InfoJson(kNote1)["fav"].get<bool>());
  ASSERT_TRUE(engine_->AddFavorite(&note1, &favorite, 0));
  EXPECT_TRUE(engine_->RemoveFavorite(&favorite, 0)) << "by its own id too";

  // The minimalist flag switches.
  EXPECT_EQ(engine_->SetFolderMinimalist(&folder_a, 0), 1);
  EXPECT_EQ(InfoJson(kFolderA)["minimalist"], 1);
  EXPECT_EQ(engine_->SetFolderMinimalist(&folder_a, 0), 1);
  EXPECT_EQ(InfoJson(kFolderA)["minimalist"], 0);
  EXPECT_TRUE(engine_->SetNoteUrl(&note1, u"https://e.test/", 0));
  EXPECT_EQ(InfoJson(kNote1)["url"], "https://e.test/");
  EXPECT_EQ(engine_->GetUrlNoteCount(u"https://a.test/1"), 0);
}

TEST_F(KivvetEngineTest, TextsComeOutAsValidUtf8) {
  const RkGuid root = Guid(kRoot), id = Guid(kNote1);
  // A pair (U+1F600) and a lone high surrogate.
  const char16_t name[] = {u'a', 0xD83D, 0xDE00, u'b', 0xD800, u'c', 0};
  ASSERT_TRUE(engine_->CreateNote(&root, name, 0, 0, u"", u"", u"", -1, &id, false));
  EXPECT_EQ(InfoJson(kNote1)["fn"], "a\xF0\x9F\x98\x80" "b\xEF\xBF\xBD" "c");
}

TEST(KivvetEngineStore, AFileThatIsNotAStoreIsRefusedAndLeftAsItWas) {
  rktest::KivvetLibrary library;
  ASSERT_TRUE(library.ok()) << library.error();
  rktest::TempDir dir;
  const fs::path junk = dir.path() / "junk.dat";
  std::ofstream(junk, std::ios::binary) << "this is not a database, only some text that is long enough";
  const fs::path foreign = dir.path() / "foreign.dat";
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE meta(key, value); INSERT INTO meta VALUES('format', 'other');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  for (const fs::path& file : {junk, foreign}) {
    SCOPED_TRACE(file.filename().string());
    const std::string before = ReadAll(file);
    rktest::Engine engine(library);
    EXPECT_FALSE(engine.Open(file));
    RkGuid root = {1, 0, 0, {}};
    engine->GetRootId(&root);
    EXPECT_EQ(Text(root), kZero);
    engine.Destroy();
    EXPECT_EQ(ReadAll(file), before);
  }
  rktest::Engine engine(library);
  EXPECT_FALSE(engine.Open(dir.path())) << "a folder";
  EXPECT_FALSE(engine->OpenStore(nullptr, nullptr));
  EXPECT_FALSE(engine->OpenStore(u"", u"name"));
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"foreign.dat", "junk.dat"}));
}

TEST_F(KivvetEngineTest, ClosedAndReleasedTheFileGoesAndANewOneStartsEmpty) {
  ASSERT_TRUE(Note(kRoot, kNote1, "one"));
  ASSERT_EQ(Save(kNote1, "<p>"), 0);
  engine_->CloseStore();
  engine_->ReleaseStore();
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_.path())) names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"Kivvet.dat", "NoteFiles"})) << "no journal left over";
  ASSERT_TRUE(fs::remove(store_));
  ASSERT_TRUE(engine_.Open(store_));
  const RkGuid root = Guid(kRoot), note = Guid(kNote1);
  EXPECT_EQ(engine_->CountChildren(&root), 0);
  EXPECT_EQ(Info(kNote1), "false");
  EXPECT_EQ(Answer([&](ByteSink* s) { return engine_->GetNoteContentPath(&note, s, true); }), "false");
}

// Many listener threads at once, no lock in the caller.
TEST_F(KivvetEngineTest, SixteenThreadsOfMixedCallsLeaveASoundStore) {
  ASSERT_TRUE(Folder(kRoot, kFolderA, "shared"));
  constexpr int kThreads = 16;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::atomic<int> failures{0};
  std::atomic<int> notes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const RkGuid root = Guid(kRoot), folder = Guid(kFolderA);
      for (int i = 0; i < 3 || std::chrono::steady_clock::now() < until; ++i) {
        char id_text[48];
        std::snprintf(id_text, sizeof(id_text), "%08X-%04X-0000-0000-000000000000", t + 0x100, i & 0xFFFF);
        const RkGuid id = Guid(id_text);
        const std::u16string url = U16("https://t" + std::to_string(t) + ".test/" + std::to_string(i));
        if (!engine_->CreateNote(&folder, u"n", 0, 0, url.c_str(), u"", u"", -1, &id, false)) ++failures;
        ++notes;
        const std::string html = "<p>" + std::string(id_text) + "</p>";
        if (engine_->SaveContent(&id, html.data(), static_cast<int32_t>(html.size()), -1, false, -1) != 0) ++failures;
        ByteSink sink;
        if (!engine_->GetNodeInfo(&id, &sink) || !Json::accept(sink.Text())) ++failures;
        sink.Clear();
        if (!engine_->GetNodesUnder(&root, &sink) || !Json::accept(sink.Text())) ++failures;
        RkGuid favorite;
        if (!engine_->AddFavorite(&id, &favorite, 0)) ++failures;
        if (i % 2 == 0 && !engine_->RemoveFavorite(&favorite, 0)) ++failures;
        if (!engine_->SetNoteUrl(&id, u"https://same.test/", 0)) ++failures;
        engine_->SetFolderMinimalist(&folder, 0);
        sink.Clear();
        if (!engine_->GetAllUrlNotes(&sink) || !Json::accept(sink.Text())) ++failures;
        std::string text;
        if (!engine_->GetNoteMeta(&text, true) || !Json::accept(text)) ++failures;
        if (engine_->GetNoteVersion(&id) != 1) ++failures;
        sink.Clear();
        if (!engine_->GetNoteContentPath(&id, &sink, true) || ReadAll(sink.Text()) != html) ++failures;
        if (engine_->CountChildren(&folder) < 1) ++failures;
        engine_->GetUrlNoteCount(u"https://same.test/");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  const RkGuid folder = Guid(kFolderA);
  EXPECT_EQ(engine_->CountChildren(&folder), notes.load());
  EXPECT_EQ(engine_->GetUrlNoteCount(u"https://same.test/"), notes.load());
  engine_->CloseStore();
  const rktest::SqliteFile file(store_.string());
  EXPECT_EQ(file.Value("PRAGMA integrity_check;"), "ok");
  EXPECT_EQ(file.Value("SELECT count(*) FROM nodes WHERE ft=1;"), std::to_string(notes.load()));
}

TEST_F(KivvetEngineTest, SettingAnObserverReportsTheStateOnTheWorkerBeforeReturning) {
  engine_->SetObserver(&observer_);
  const auto calls = observer_.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].text, "state 0,0,idle");
  EXPECT_NE(calls[0].thread, std::this_thread::get_id());
  // Every later event comes from that same thread.
  EXPECT_EQ(Import("[]"), R"({"count":0})");
  EXPECT_EQ(Import("oops"), "false");
  ASSERT_TRUE(observer_.WaitFor("import failed"));
  EXPECT_EQ(observer_.Texts(), (std::vector<std::string>{"state 0,0,idle", "import ok", "import failed"}));
  for (const auto& call : observer_.Calls()) EXPECT_EQ(call.thread, calls[0].thread);
}

// Runs `call` on a thread of its own while a callback blocks: it must not
// return before the callback has.
void ExpectWaitsForTheCallback(BlockingCallback& blocking, const std::function<void()>& call) {
  ASSERT_TRUE(blocking.WaitEntered());
  std::atomic<bool> returned{false};
  bool finished_when_returned = false;
  std::thread caller([&] {
    call();
    finished_when_returned = blocking.finished();
    returned = true;
  });
  // Only gives a faulty engine the chance to return early; a sound one
  // passes whatever the timing.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(returned.load());
  blocking.Release();
  caller.join();
  EXPECT_TRUE(finished_when_returned);
}

TEST_F(KivvetEngineTest, DetachingTheObserverWaitsForTheCallbackAndStopsEvents) {
  BlockingCallback blocking;
  BlockInTheNextImportEvent(&blocking);
  ExpectWaitsForTheCallback(blocking, [&] { engine_->SetObserver(nullptr); });
  // None starts afterwards: events queued from now on, up to one the next
  // observer hears, reach the first one no more.
  const size_t heard = observer_.Calls().size();
  EXPECT_EQ(Import("[]"), R"({"count":0})");
  engine_->SetObserver(&next_);
  EXPECT_EQ(Import("oops"), "false");
  ASSERT_TRUE(next_.WaitFor("import failed"));
  EXPECT_EQ(observer_.Calls().size(), heard);
}

TEST_F(KivvetEngineTest, ShutdownWaitsForTheCallbackAndStartsNothingAfterwards) {
  BlockingCallback blocking;
  BlockInTheNextImportEvent(&blocking);
  ExpectWaitsForTheCallback(blocking, [&] { engine_->Shutdown(); });
  ASSERT_TRUE(engine_->InitSync(u"uid", u"did", u"key", u"app", u"http://127.0.0.1:9/", u"http://127.0.0.1:9/", u"1", 0));
  EXPECT_FALSE(engine_->DoSync());
  EXPECT_FALSE(engine_->DownloadNodes());
  // The store still answers.
  EXPECT_EQ(Import("[]"), R"({"count":0})");
  engine_->SetObserver(&observer_);
  engine_->SetObserver(nullptr);
  EXPECT_EQ(observer_.Texts(), (std::vector<std::string>{"state 0,0,idle", "import ok"}));
}

TEST_F(KivvetEngineTest, SyncDetailsAreCheckedAndKept) {
  const char16_t* good = u"http://127.0.0.1:9";
  const struct {
    const char* name;
    const char16_t* uid;
    const char16_t* key;
    const char16_t* host;
    const char16_t* res_host;
    bool expected;
  } cases[] = {
      {"empty uid", u"", u"k", good, good, false},
      {"null uid", nullptr, u"k", good, good, false},
      {"empty key", u"u", u"", good, good, false},
      {"ftp host", u"u", u"k", u"ftp://127.0.0.1/", good, false},
      {"scheme only", u"u", u"k", u"http://", good, false},
      {"no res host", u"u", u"k", good, u"", false},
      {"relative res host", u"u", u"k", good, u"/res", false},
      {"http", u"u", u"k", good, good, true},
      {"https, any case", u"u", u"k", u"HTTPS://127.0.0.1:9/api", good, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(engine_->InitSync(c.uid, u"d", c.key, u"app", c.host, c.res_host, u"1", 0), c.expected) << c.name;
  }
  EXPECT_EQ(Answer([&](ByteSink* s) { return engine_->TestHttpRes(s); }),
            R"({"host":"HTTPS://127.0.0.1:9/api","ready":true,"res_host":"http://127.0.0.1:9"})");
  engine_->EnterGuestMode();
  EXPECT_FALSE(engine_->InitSync(u"u", u"d", u"k", u"app", good, good, u"1", 0)) << "guest mode";
  EXPECT_FALSE(engine_->DoSync());
}

// The test flavour fires any observer operation with the arguments given.
TEST(KivvetTestingFlavour, FiresEveryObserverOperationOnTheWorkerAndWaitsForIt) {
  rktest::KivvetLibrary library(rktest::TestingEngineLibraryPath());
  ASSERT_TRUE(library.ok()) << library.error();
  const auto fire = library.fire();
  ASSERT_NE(fire, nullptr);
  rkkivvet::RkKivvetTestEvent event;
  event.position = 8;
  EXPECT_EQ(fire(&event), 0) << "no engine yet";
  rktest::TempDir dir;
  RecordingObserver observer;
  rktest::Engine engine(library);
  ASSERT_TRUE(engine.Open(dir.path() / "Kivvet.dat"));
  EXPECT_EQ(fire(&event), 0) << "no observer yet";
  engine->SetObserver(&observer);
  const std::thread::id worker = observer.Calls().at(0).thread;
  observer.Clear();

  int marker = 0;
  const RkGuid id = Guid(kNote1);
  const auto make = [&](int position, std::initializer_list<int32_t> numbers, const char* text,
                        const char16_t* wide, const RkGuid* a, const RkGuid* b, bool flag) {
    rkkivvet::RkKivvetTestEvent e;
    e.position = position;
    int i = 0;
    for (int32_t n : numbers) e.numbers[i++] = n;
    e.text = text;
    e.wide_text = wide;
    e.id = a;
    e.new_id = b;
    e.pointer = &marker;
    e.flag = flag;
    return e;
  };
  const struct {
    rkkivvet::RkKivvetTestEvent event;
    std::string expected;
  } cases[] = {
      {make(1, {4, -9}, nullptr, nullptr, nullptr, nullptr, false), "notify 4,-9"},
      {make(2, {3, 503}, nullptr, nullptr, nullptr, nullptr, false), "state 3,503,(null)"},
      {make(3, {1, 5, 2}, "not json", nullptr, nullptr, nullptr, false), "progress 1,5,2,not json"},
      {make(4, {7}, nullptr, nullptr, nullptr, nullptr, false), "updated 7,(null)"},
      {make(5, {1, 2}, nullptr, nullptr, &id, nullptr, false), "conflict 1," + std::string(kNote1) + ",(null),2"},
      {make(6, {6}, nullptr, u"six", nullptr, nullptr, true), "event6 six,6,1"},
      {make(7, {}, nullptr, nullptr, nullptr, nullptr, false), "import failed"},
      {make(8, {}, nullptr, nullptr, nullptr, nullptr, false), "event8"},
      {make(9, {9}, nullptr, nullptr, nullptr, nullptr, false), "event9 (null),9,0"},
      {make(10, {1, -4, 2}, "{bad", nullptr, nullptr, nullptr, false), "changed 1,(bytes -4),2"},
      {make(10, {1, 4, 2}, "{bad", nullptr, nullptr, nullptr, false), "changed 1,{bad,2"},
      {make(10, {1, 4, 2}, nullptr, nullptr, nullptr, nullptr, false), "changed 1,(null 4),2"},
      {make(11, {}, nullptr, u"eleven", nullptr, nullptr, false), "event11 eleven"},
      {make(12, {6}, "shared", u"key", nullptr, nullptr, false), "share key,shared"},
      {make(12, {3}, "abc", nullptr, nullptr, nullptr, false), "share (null),abc"},
      {make(13, {1}, nullptr, nullptr, &id, nullptr, false), "download 1," + std::string(kNote1)},
  };
  for (const auto& c : cases) {
    observer.Clear();
    // The callback is slow: a fire call that did not wait sees nothing yet.
    std::atomic<bool> finished{false};
    observer.SetHook([&](const RecordingObserver::Call&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      finished = true;
    });
    EXPECT_EQ(fire(&c.event), 1) << c.expected;
    EXPECT_TRUE(finished.load()) << c.expected;
    const auto calls = observer.Calls();
    ASSERT_EQ(calls.size(), 1u) << c.expected;
    EXPECT_EQ(calls[0].position, c.event.position);
    EXPECT_EQ(calls[0].text, c.expected);
    EXPECT_EQ(calls[0].thread, worker);
    // Pointers arrive as given.
    if (c.event.position == 6 || c.event.position == 7 || c.event.position == 9) {
      EXPECT_EQ(calls[0].pointers.back(), &marker);
    }
    if (c.event.position == 10) {
      EXPECT_EQ(calls[0].pointers[0], c.event.text);
    }
  }
  observer.SetHook(nullptr);
  event.position = 0;
  EXPECT_EQ(fire(&event), -1);
  event.position = 14;
  EXPECT_EQ(fire(&event), -1);
  EXPECT_EQ(fire(nullptr), -1);
  // Two engines: both observers hear it.
  RecordingObserver other_observer;
  rktest::Engine other(library);
  other->SetObserver(&other_observer);
  event.position = 8;
  EXPECT_EQ(fire(&event), 2);
  EXPECT_EQ(other_observer.Texts(), (std::vector<std::string>{"state 0,0,idle", "event8"}));
  engine.Destroy();
  EXPECT_EQ(fire(&event), 1) << "a deleted engine is gone";
}

}  // namespace
