// The notes service when its engine library is missing, is not a library,
// lacks an export or makes no engine: the handler is made all the same, every
// route answers as without an engine, and the reason is in the log.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "rk_kivvet_test_service.h"

namespace {

namespace fs = std::filesystem;
using rktest::KivvetRequest;

struct Case {
  const char* name;
  const char* library;  // copied in as libRkKivvet.so; null: none, "junk": not a library
  std::string log_line;  // {dir} stands for the service library's folder
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class KivvetWithoutEngine : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    fs::create_directories(dir_);
    fs::copy_file(fs::path(RK_OUTPUT_DIR) / "librkservice.so", dir_ / "librkservice.so");
    const char* library = GetParam().library;
    if (library == nullptr) return;
    if (std::string(library) == "junk") {
      std::ofstream(dir_ / "libRkKivvet.so") << "not an ELF file";
    } else {
      fs::copy_file(fs::path(RK_OUTPUT_DIR) / library, dir_ / "libRkKivvet.so");
    }
  }

  rktest::KivvetTempDir temp_;
  const fs::path dir_ = fs::canonical(temp_.path()) / "service";
  const fs::path root_ = temp_.path() / "root";
};

TEST_P(KivvetWithoutEngine, EveryRouteAnswersAsWithoutAnEngine) {
  fs::create_directories(root_);
  std::ofstream(root_ / "rklog.a").close();  // info lines too
  rktest::KivvetServiceLibrary service(dir_);
  const int port = service.Start("notes", root_, "http://127.0.0.1:1");
  ASSERT_NE(port, 0);

  const std::string init_body =
      R"({"uid":"u","did":"d","key":"k","app":"a","host":"http://127.0.0.1:1","res_host":"http://127.0.0.1:1",)"
      R"("cver":"1","vip_level":0})";
  const std::string id = R"({"id":"0000000A-0000-0000-0000-000000000000")";
  const struct {
    const char* method;
    const char* target;
    std::string request;
    int status;
    std::string body;
  } routes[] = {
      {"GET", "/kivvet/hit", "", 200, "{}"},
      {"GET", "/kivvet/allurlnotes", "", 500, "{}"},
      {"GET", "/kivvet/allurlnotes?with_folder=1", "", 500, "{}"},
      {"GET", "/kivvet/bookmarksallurlnotes?type=1", "", 500, "{}"},
      {"GET", "/kivvet/bookmarksallurlnotes?with_folder=1", "", 500, "{}"},
      {"GET", "/kivvet/get_notemeta", "", 500, "{}"},
      {"GET", "/kivvet/path?id=00000001-0000-0000-0000-000000000000", "", 500, "{}"},
      {"GET", "/kivvet/path", "", 400, "{}"},
      {"GET", "/kivvet/sync/status", "", 200, R"({"status":0})"},
      {"GET", "/kivvet/sync/last_status", "", 200, R"({"err_code":0,"is_syncing":false,"sync_time":0,"version":0})"},
      {"GET", "/kivvet/note/url/count?url=a", "", 200, R"({"count":0,"url":"a"})"},
      {"GET", "/kivvet/test/httpres", "", 500, "{}"},
      {"GET", "/kivvet/get_notedata?id=00000001-0000-0000-0000-000000000000", "", 200,
       R"({"code" : 404, "msg" :"note not fond"})"},
      {"PUT", "/kivvet/sync/init", init_body, 500, "{}"},
      {"PUT", "/kivvet/sync/do_sync", init_body, 400, R"({"msg":"please call /kivvet/sync/init first"})"},
      {"PUT", "/kivvet/sync/init_and_sync", init_body, 500, "{}"},
      {"PUT", "/kivvet/sync/reset_sync_ver", "", 500, "{}"},
      {"POST", "/kivvet/notes/downloadnodes", "", 500, "{}"},
      {"POST", "/kivvet/note/importbookmarks", R"([{"title":"t","url":"http://a.test/"}])", 500, "{}"},
      {"POST", "/kivvet/favorite", id + "}", 500, "{}"},
      // A list answers "{}" whatever became of its ids.
      {"POST", "/kivvet/favorite", R"({"id":["0000000A-0000-0000-0000-000000000000"]})", 200, "{}"},
      {"DELETE", "/kivvet/favorite", id + "}", 500, "{}"},
      {"DELETE", "/kivvet/favorite", R"({"id":["0000000A-0000-0000-0000-000000000000"]})", 200, "{}"},
      // Nothing is saved, with an image or without one.
      {"POST", "/kivvet/content", id + R"(,"content":"<p>no image</p>"})", 500, "{}"},
      {"POST", "/kivvet/content", id + R"(,"content":"<img src=\"file:///x/ResCache/A.png\">"})", 500, "{}"},
      {"PUT", "/kivvet/note/url", id + R"(,"url":"http://a.test/"})", 500, "{}"},
      {"PUT", "/kivvet/folder/minimalist", id + R"(,"from":1})", 500, "{}"},
      // Its result is not used.
      {"PUT", "/kivvet/note/content/download", id + "}", 200, "{}"},
  };
  std::set<std::string> bindings;
  for (const auto& route : routes) {
    const rktest::HttpReply reply = KivvetRequest(port, route.method, route.target, route.request);
    EXPECT_EQ(reply.status, route.status) << route.method << " " << route.target << " " << route.request;
    EXPECT_EQ(reply.body, route.body) << route.method << " " << route.target << " " << route.request;
    const std::string target = route.target;
    bindings.insert(std::string(route.method) + " " + target.substr(0, target.find('?')));
  }
  EXPECT_EQ(bindings.size(), 22u) << "every binding of the route table";

  std::string line = GetParam().log_line;
  for (size_t at; (at = line.find("{dir}")) != std::string::npos;) line.replace(at, 5, dir_.string());
  const std::string log = rktest::FlushedServiceLog(port, root_);
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_NE(log.find("] [error] InitStorage error"), std::string::npos) << log;
  EXPECT_NE(log.find("] [warning] Kivvet InitSync Error"), std::string::npos) << log;
  EXPECT_NE(log.find("] [error] Save note content error. id=0000000A-0000-0000-0000-000000000000"), std::string::npos)
      << log;
  EXPECT_NE(log.find("] [error] Set folder minimalist error. id=0000000A-0000-0000-0000-000000000000"),
            std::string::npos)
      << log;
  // Nothing was made for the user, not even the notes folder.
  EXPECT_FALSE(fs::exists(root_ / "ann" / "Kivvet" / "Kivvet.dat"));
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, KivvetWithoutEngine,
    testing::Values(Case{"Missing", nullptr, "] [error] path {dir}/libRkKivvet.so NOT exists, please check it"},
                    Case{"NotALibrary", "junk", "] [error] LoadLibrary {dir}/libRkKivvet.so with error {dir}/libRkKivvet.so: "},
                    Case{"WithoutDeleteExport", "librk_test_kivvet_incomplete.so",
                         "] [error] load function DeleteRkNoteSyncStorage error. {dir}/libRkKivvet.so: undefined symbol: "
                         "DeleteRkNoteSyncStorage "},
                    Case{"FactoryMakesNoEngine", "librk_test_kivvet_refusing.so", "fun_create_note_storage_ error"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
