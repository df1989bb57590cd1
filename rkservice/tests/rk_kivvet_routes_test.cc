// The notes handler's dispatch and query routes as the browser sees them:
// the shipped service library with the real notes engine beside it, over
// real HTTP, on a store whose notes the engine made.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "rk_kivvet_test_service.h"
#include "rk_kivvet_test_support.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using rkkivvet::RkGuid;
using rktest::Guid;
using rktest::HttpReply;
using rktest::KivvetRequest;

constexpr char kNote1[] = "000000C1-0000-0000-0000-000000000000";
constexpr char kNote2[] = "000000C2-0000-0000-0000-000000000000";

std::string Get(int port, const std::string& target) { return KivvetRequest(port, "GET", target).body; }

// What the engine answers for the store the service is about to open.
struct EngineTexts {
  std::string all_url_notes, bookmarks_all, bookmarks_2, meta, path_note2, tree;
};

class KivvetRoutes : public testing::Test {
 protected:
  void SetUp() override {
    FillStore(root_ / "ann" / "Kivvet" / "Kivvet.dat");
    std::ofstream(root_ / "rklog.a").close();  // info lines too
    port_ = service_.Start("notes", root_, "http://127.0.0.1:1");
    ASSERT_NE(port_, 0);
  }

  // root: folder A (note 1, empty folder E, folder B (note 2)), note T,
  // folder F (empty folder G), note U without a url.
  void FillStore(const fs::path& file) {
    fs::create_directories(file.parent_path());
    rktest::KivvetLibrary library;
    ASSERT_TRUE(library.ok()) << library.error();
    rktest::Engine engine(library);
    ASSERT_TRUE(engine.ok() && engine.Open(file));
    const RkGuid root = Guid(rktest::kRoot), a = Guid("0000000A-0000-0000-0000-000000000000"),
                 e = Guid("0000000E-0000-0000-0000-000000000000"), b = Guid("0000000B-0000-0000-0000-000000000000"),
                 f = Guid("0000000F-0000-0000-0000-000000000000"), g = Guid("00000010-0000-0000-0000-000000000000"),
                 n1 = Guid(kNote1), n2 = Guid(kNote2), t = Guid("000000C3-0000-0000-0000-000000000000"),
                 u = Guid("000000C4-0000-0000-0000-000000000000");
    ASSERT_TRUE(engine->CreateFolder(&root, u"A", 0, 0, &a, false));
    ASSERT_TRUE(engine->CreateNote(&a, u"one", 0, 0, u"http://a.test/1", u"", u"", -1, &n1, false));
    ASSERT_TRUE(engine->CreateFolder(&a, u"E", 0, 0, &e, false));
    ASSERT_TRUE(engine->CreateFolder(&a, u"B", 0, 0, &b, false));
    ASSERT_TRUE(engine->CreateNote(&b, u"two", 0, 2, u"http://b.test/2", u"", u"", -1, &n2, false));
    ASSERT_TRUE(engine->CreateNote(&root, u"top", 0, 2, u"http://t.test/", u"", u"", -1, &t, false));
    ASSERT_TRUE(engine->CreateFolder(&root, u"F", 0, 0, &f, false));
    ASSERT_TRUE(engine->CreateFolder(&f, u"G", 0, 0, &g, false));
    ASSERT_TRUE(engine->CreateNote(&root, u"no url", 0, 0, u"", u"", u"", -1, &u, false));

    rktest::ByteSink sink;
    ASSERT_TRUE(engine->GetAllUrlNotes(&sink));
    texts_.all_url_notes = sink.Text();
    ASSERT_TRUE(engine->GetBookmarkUrlNotes(0, &texts_.bookmarks_all));
    ASSERT_TRUE(engine->GetBookmarkUrlNotes(2, &texts_.bookmarks_2));
    ASSERT_TRUE(engine->GetNoteMeta(&texts_.meta, false));
    sink.Clear();
    ASSERT_TRUE(engine->GetNodePath(&n2, &sink));
    texts_.path_note2 = sink.Text();
    sink.Clear();
    ASSERT_TRUE(engine->GetNodesUnder(&root, &sink));
    texts_.tree = sink.Text();
  }

  rktest::KivvetTempDir temp_;
  const fs::path root_ = temp_.path() / "root";
  EngineTexts texts_;
  rktest::KivvetServiceLibrary service_;
  int port_ = 0;
};

// Names and paths of a flattened list.
std::vector<std::pair<std::string, std::vector<std::string>>> Outline(const std::string& flat) {
  std::vector<std::pair<std::string, std::vector<std::string>>> outline;
  const Json list = Json::parse(flat);
  for (const Json& node : list.at("nodes")) {
    outline.emplace_back(node.at("fn").get<std::string>(), node.at("paths").get<std::vector<std::string>>());
  }
  return outline;
}

TEST_F(KivvetRoutes, DispatchByWholePathAndMethod) {
  const struct {
    const char* method;
    const char* target;
    int status;
    const char* body;
  } cases[] = {
      {"GET", "/kivvet/hit", 200, "{}"},
      {"GET", "/kivvet/hit?any=thing&x", 200, "{}"},
      {"GET", "/kivvet", 404, "{}"},  // one segment
      {"GET", "/kivvet/", 404, "{}"},
      {"GET", "/kivvet/hit/", 404, "{}"},
      {"GET", "/kivvet//hit", 404, "{}"},
      {"GET", "/kivvet/HIT", 404, "{}"},
      {"GET", "/kivvet/h%69t", 404, "{}"},  // not decoded
      {"POST", "/kivvet/hit", 404, "{}"},
      {"PUT", "/kivvet/hit", 404, "{}"},
      {"DELETE", "/kivvet/hit", 404, "{}"},
      {"PUT", "/kivvet/sync/status", 404, "{}"},
      {"GET", "/kivvet/sync/do_sync", 404, "{}"},
      // The note data and change routes, reached without a usable input.
      {"GET", "/kivvet/get_notedata?id=x", 200, "{\"code\" : 404, \"msg\" :\"note not fond\"}"},
      {"POST", "/kivvet/favorite", 400, "{}"},
      {"DELETE", "/kivvet/favorite", 400, "{}"},
      {"PUT", "/kivvet/note/url", 400, "{}"},
      // The router's own answers.
      {"OPTIONS", "/kivvet/hit", 200, "{}"},
      {"HEAD", "/kivvet/hit", 501, ""},
      {"GET", "/Kivvet/hit", 500, "{}"},
  };
  for (const auto& c : cases) {
    const HttpReply reply = KivvetRequest(port_, c.method, c.target);
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.target;
    if (std::string(c.method) != "HEAD") {
      EXPECT_EQ(reply.body, c.body) << c.method << " " << c.target;
    }
    EXPECT_EQ(reply.Header("access-control-allow-origin"), "*") << c.method << " " << c.target;
    EXPECT_EQ(reply.Header("server"), "Rk6Service/v0.1") << c.method << " " << c.target;
  }
}

TEST_F(KivvetRoutes, GetAndPutPrintTheirThreadIdPostAndDeleteDoNot) {
  // The handler prints to the process's standard output: catch it in a file.
  const fs::path out = temp_.path() / "stdout";
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  dup2(file, STDOUT_FILENO);
  close(file);
  KivvetRequest(port_, "GET", "/kivvet/hit");
  KivvetRequest(port_, "POST", "/kivvet/hit");
  KivvetRequest(port_, "DELETE", "/kivvet/hit");
  KivvetRequest(port_, "PUT", "/kivvet/hit");
  KivvetRequest(port_, "GET", "/kivvet/nothing");
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);

  std::vector<std::string> ids;
  std::istringstream lines(rktest::ReadAll(out));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && std::all_of(line.begin(), line.end(), [](unsigned char c) { return std::isdigit(c); })) {
      ids.push_back(line);
    }
  }
  EXPECT_EQ(ids.size(), 3u) << rktest::ReadAll(out);
}

TEST_F(KivvetRoutes, QueriesAnswerWithTheEngineTextOrTheirOwnObject) {
  const std::string count_a = R"({"count":1,"url":"http://a.test/1"})";
  const struct {
    std::string target;
    int status;
    std::string body;
  } cases[] = {
      {"/kivvet/allurlnotes", 200, texts_.all_url_notes},
      {"/kivvet/allurlnotes?with_folder", 200, texts_.all_url_notes},  // no "=": absent
      {"/kivvet/allurlnotes?with_folder=", 200, texts_.all_url_notes},
      {"/kivvet/allurlnotes?with_folder=True", 200, texts_.all_url_notes},
      {"/kivvet/allurlnotes?with_folder=yes", 200, texts_.all_url_notes},
      {"/kivvet/allurlnotes?with_folder=0", 200, texts_.all_url_notes},
      {"/kivvet/bookmarksallurlnotes", 200, texts_.bookmarks_all},
      {"/kivvet/bookmarksallurlnotes?type=2", 200, texts_.bookmarks_2},
      {"/kivvet/bookmarksallurlnotes?type=2x", 200, texts_.bookmarks_2},
      {"/kivvet/bookmarksallurlnotes?type=+2", 200, texts_.bookmarks_2},
      {"/kivvet/bookmarksallurlnotes?type=abc", 200, texts_.bookmarks_all},
      {"/kivvet/get_notemeta", 200, texts_.meta},
      {"/kivvet/get_notemeta?force=0", 200, texts_.meta},
      {"/kivvet/path?id=" + std::string(kNote2), 200, texts_.path_note2},
      {"/kivvet/path?id=nonsense", 500, "{}"},
      {"/kivvet/path?id=", 400, "{}"},
      {"/kivvet/path?id", 400, "{}"},
      {"/kivvet/path", 400, "{}"},
      {"/kivvet/note/url/count?url=http%3A%2F%2Fa.test%2F1", 200, count_a},
      {"/kivvet/note/url/count?url=http://a.test/1", 200, count_a},
      {"/kivvet/note/url/count?url=http://nowhere.test/", 200, R"({"count":0,"url":"http://nowhere.test/"})"},
      {"/kivvet/note/url/count?url=%zz", 400, "{}"},
      {"/kivvet/note/url/count?url=%", 400, "{}"},
      {"/kivvet/note/url/count?url=", 400, "{}"},
      {"/kivvet/note/url/count?url", 400, "{}"},
      {"/kivvet/note/url/count", 400, "{}"},
      {"/kivvet/sync/status", 200, R"({"status":0})"},
      {"/kivvet/sync/last_status", 200, R"({"err_code":0,"is_syncing":false,"sync_time":0,"version":0})"},
      // The manager reports false after the engine's self-test.
      {"/kivvet/test/httpres", 500, "{}"},
  };
  for (const auto& c : cases) {
    const HttpReply reply = KivvetRequest(port_, "GET", c.target);
    EXPECT_EQ(reply.status, c.status) << c.target;
    EXPECT_EQ(reply.body, c.body) << c.target;
  }
  // The bookmark list goes out as UTF-8 text with the other header values.
  const HttpReply bookmarks = KivvetRequest(port_, "GET", "/kivvet/bookmarksallurlnotes?type=2");
  EXPECT_EQ(bookmarks.Header("access-control-allow-headers"), "*");
  EXPECT_EQ(bookmarks.Header("content-type"), "text/plain; charset=utf-8");
  EXPECT_EQ(KivvetRequest(port_, "GET", "/kivvet/hit").Header("access-control-allow-headers"), "UserName");
}

TEST_F(KivvetRoutes, FolderModeFlattensTheTreeUnderTheRoot) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> outline = {
      {"A", {}}, {"one", {"A"}}, {"B", {"A"}}, {"two", {"A", "B"}}, {"top", {}}, {"no url", {}},
  };
  for (const char* target : {"/kivvet/allurlnotes?with_folder=1", "/kivvet/allurlnotes?with_folder=true",
                             "/kivvet/bookmarksallurlnotes?with_folder=1&type=2",
                             "/kivvet/bookmarksallurlnotes?type=abc&with_folder=true"}) {
    const HttpReply reply = KivvetRequest(port_, "GET", target);
    ASSERT_EQ(reply.status, 200) << target;
    EXPECT_EQ(Outline(reply.body), outline) << target;
  }
  // Every other key of a node comes along; a folder loses its children.
  const Json flat = Json::parse(Get(port_, "/kivvet/allurlnotes?with_folder=1")).at("nodes");
  Json folder_a = Json::parse(texts_.tree).at("nodes").at(0);
  folder_a.erase("nodes");
  folder_a["paths"] = Json::array();
  EXPECT_EQ(flat.at(0), folder_a);
  EXPECT_EQ(flat.at(3).at("id"), kNote2);
  EXPECT_EQ(flat.at(3).at("url"), "http://b.test/2");
}

TEST_F(KivvetRoutes, ARouteThatFailsLeavesTheDispatchLine) {
  EXPECT_EQ(KivvetRequest(port_, "GET", "/kivvet/path?id=").status, 400);
  EXPECT_EQ(KivvetRequest(port_, "GET", "/kivvet/path?id=nonsense").status, 500);
  EXPECT_EQ(KivvetRequest(port_, "GET", "/kivvet/nothing").status, 404);
  // Written after the reply went out.
  EXPECT_TRUE(rktest::WaitForLog(port_, root_, "[ info] GET: /kivvet/path?id= returned false, maybe return code:500"));
  EXPECT_TRUE(
      rktest::WaitForLog(port_, root_, "[ info] GET: /kivvet/path?id=nonsense returned false, maybe return code:500"));
  const std::string log = rktest::FlushedServiceLog(port_, root_);
  EXPECT_EQ(log.find("/kivvet/nothing returned false"), std::string::npos);  // 404s are not routes
  EXPECT_NE(log.find("[ info] load library " + std::string(RK_OUTPUT_DIR)), std::string::npos);
}

}  // namespace
