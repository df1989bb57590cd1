// The note data and change routes, and the images a saved note references,
// over real HTTP with the real notes engine. The service runs in this process
// (so the note data clock can be set) and finds the engine beside the test.
// Image downloads go to a loopback server of the test's own only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cpprest/json.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kivvet/rk_content_helper.h"
#include "kivvet/rk_note_data_clock.h"
#include "kivvet/rk_resource_downloader.h"
#include "rk_image_test_server.h"
#include "rk_in_process_service.h"
#include "rk_logger.h"
#include "rk_note_data_test_support.h"
#include "rk_test_http.h"
#include "rk_test_log.h"
#include "rk_test_wait.h"
#include "rk_utils.h"
#include "rkservice.h"

namespace rkservice {
namespace {

namespace fs = std::filesystem;
using rktest::HttpReply;
using rktest::ImageReply;
using rktest::ImageTestServer;
using web::json::value;

constexpr char kUnknownId[] = "0BADF00D-0000-4000-8000-000000000000";
constexpr char kFormatError[] = "{\"code\" : 400, \"msg\" :\"format err\"}";
constexpr char kNoteNotFound[] = "{\"code\" : 404, \"msg\" :\"note not fond\"}";

// A few bytes that read as a PNG; n makes each one different.
std::string PngBytes(int n) { return std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16) + "image-" + std::to_string(n); }

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

using rktest::Date;
using rktest::kDownloadFailed;
using rktest::kNotDownloaded;

// The store file a "file:///...ResCache/..." reference names.
fs::path ReferencedFile(const std::string& reference) { return fs::path(reference.substr(7)); }

std::string JsonText(const std::string& text) { return value::string(text).serialize(); }

class KivvetContent : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(testing::TempDir()) / ("rk_kivvet_content_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    log_ = root_ / "test.log";
    ASSERT_TRUE(RkServiceManager::GetInstance()->StartLogger(log_.string(), kRkLogTrace));
    port_ = rktest::FreeLoopbackPort();
    ASSERT_TRUE(rktest::StartInProcessService("notes", port_, root_.string(), "http://127.0.0.1:9/notify"));
  }

  void TearDown() override {
    RkServiceManager::GetInstance()->RemoveAllService();
    RkNoteDataClock::SetForTesting({}, {});
    fs::remove_all(root_);
  }

  // Bounds only a hang reaches: a save may wait for an image's 8 seconds.
  HttpReply Send(const std::string& method, const std::string& target, const std::string& body = {}) {
    return rktest::Exchange(
        port_, rktest::BuildRequest(method, target, {{"UserName", "ann"}, {"Content-Type", "application/json"}}, body),
        120000);
  }

  // Url notes made by the engine's bookmark import; their ids by title.
  std::vector<std::string> MakeNotes(int count) {
    value list = value::array();
    for (int i = 0; i < count; ++i) {
      value bookmark = value::object();
      bookmark["title"] = value::string("note " + std::to_string(next_note_ + i));
      bookmark["url"] = value::string("http://127.0.0.1/" + std::to_string(next_note_ + i));
      list[i] = bookmark;
    }
    const HttpReply imported = Send("POST", "/kivvet/note/importbookmarks", list.serialize());
    EXPECT_EQ(imported.status, 200) << imported.body;
    const HttpReply notes = Send("GET", "/kivvet/allurlnotes");
    EXPECT_EQ(notes.status, 200) << notes.body;
    std::map<std::string, std::string> by_title;
    const value list_of_notes = value::parse(notes.body);
    for (const value& node : list_of_notes.at("nodes").as_array()) {
      by_title[node.at("fn").as_string()] = node.at("id").as_string();
    }
    std::vector<std::string> ids;
    for (int i = 0; i < count; ++i) ids.push_back(by_title["note " + std::to_string(next_note_ + i)]);
    next_note_ += count;
    for (const std::string& id : ids) EXPECT_EQ(id.size(), 36u);
    return ids;
  }

  HttpReply SaveContent(const std::string& id, const std::string& html, const std::string& extra = {}) {
    return Send("POST", "/kivvet/content", "{\"id\":" + JsonText(id) + ",\"content\":" + JsonText(html) + extra + "}");
  }

  // The reply of get_notedata as JSON (code 0 expected).
  value NoteData(const std::string& id) {
    const HttpReply reply = Send("GET", "/kivvet/get_notedata?id=" + id);
    EXPECT_EQ(reply.status, 200);
    const value data = value::parse(reply.body);
    EXPECT_EQ(data.at("code").as_integer(), 0) << reply.body;
    return data;
  }

  std::string Log() { return rktest::FlushedLog(log_); }

  // Lines written after a reply went out may not be there yet when it
  // arrives: waits for the text, up to a bound only a hang reaches.
  bool LogGets(const std::string& text) {
    return rktest::WaitUntil([&] { return Log().find(text) != std::string::npos; });
  }

  fs::path root_;
  fs::path log_;
  int port_ = 0;
  int next_note_ = 0;
};

TEST_F(KivvetContent, NoteDataFixedBodies) {
  const struct {
    std::string target;
    int status;
    std::string body;
  } cases[] = {
      {"/kivvet/get_notedata", 400, kFormatError},
      {"/kivvet/get_notedata?id=", 400, kFormatError},
      {"/kivvet/get_notedata?id", 400, kFormatError},
      {std::string("/kivvet/get_notedata?id=") + kUnknownId, 200, kNoteNotFound},
      {std::string("/kivvet/get_notedata?downIfMissing=1&id=") + kUnknownId, 200, kNoteNotFound},
  };
  for (const auto& c : cases) {
    const HttpReply reply = Send("GET", c.target);
    EXPECT_EQ(reply.status, c.status) << c.target;
    EXPECT_EQ(reply.body, c.body) << c.target;
    EXPECT_EQ(reply.Header("access-control-allow-origin"), "*") << c.target;
  }
  EXPECT_TRUE(LogGets(std::string("GET: /kivvet/get_notedata?id=") + kUnknownId +
                      " returned false, maybe return code:500"));
}

TEST_F(KivvetContent, NoteDataGivesTheSavedContentWithPathAndVersion) {
  const std::string id = MakeNotes(1)[0];
  const std::string html = "<p>h\xC3\xA9llo \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x93\x9D</p>";
  ASSERT_EQ(SaveContent(id, html, ",\"version\":3,\"from\":1").status, 200);
  const value first = NoteData(id);
  EXPECT_EQ(first.at("content").as_string(), html);
  const std::string path = first.at("path").as_string();
  EXPECT_EQ(ReadFile(path), html);
  const int version = first.at("version").as_integer();
  EXPECT_EQ(first.serialize(), "{\"code\":0,\"content\":" + JsonText(html) + ",\"path\":" + JsonText(path) +
                                   ",\"version\":" + std::to_string(version) + "}");

  ASSERT_EQ(SaveContent(id, "<p>again</p>").status, 200);
  const value second = NoteData(id);
  EXPECT_EQ(second.at("content").as_string(), "<p>again</p>");
  EXPECT_GT(second.at("version").as_integer(), version);

  // Bytes that are not UTF-8 arrive as U+FFFD.
  std::ofstream(path, std::ios::binary | std::ios::trunc) << "a\xFF" << "b\xC3";
  EXPECT_EQ(NoteData(id).at("content").as_string(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST_F(KivvetContent, MissingContentAroundTheAugust2024Cutoff) {
  const std::vector<std::string> ids = MakeNotes(2);
  const std::string& id = ids[0];
  std::atomic<int> pauses{0};
  std::tm today = Date(2024, 7, 31);
  std::function<void()> on_pause;
  RkNoteDataClock::SetForTesting([&] { return today; },
                                 [&](std::chrono::milliseconds duration) {
                                   EXPECT_EQ(duration.count(), 2000);
                                   ++pauses;
                                   if (on_pause) on_pause();
                                 });
  const struct {
    std::tm date;
    std::string query;
    std::string body;
    int pauses;
  } cases[] = {
      {Date(2024, 7, 31), "", kNotDownloaded, 0},
      {Date(2024, 7, 31), "&downIfMissing", kNotDownloaded, 0},  // without "=" the key is absent
      {Date(2024, 7, 31), "&downIfMissing=", kDownloadFailed, 3},
      {Date(2023, 12, 31), "&downIfMissing=0", kDownloadFailed, 3},
      {Date(2024, 8, 1), "", kDownloadFailed, 0},
      {Date(2024, 8, 1), "&downIfMissing=1", kDownloadFailed, 0},
      {Date(2031, 1, 1), "&downIfMissing=1", kDownloadFailed, 0},
  };
  for (const auto& c : cases) {
    today = c.date;
    pauses = 0;
    const std::string target = "/kivvet/get_notedata?id=" + id + c.query;
    const HttpReply reply = Send("GET", target);
    EXPECT_EQ(reply.status, 200) << target;
    EXPECT_EQ(reply.body, c.body) << target << " on " << c.date.tm_year + 1900 << "-" << c.date.tm_mon + 1;
    EXPECT_EQ(pauses.load(), c.pauses) << target;
  }

  // Content that arrives while the route waits is answered at the next check.
  today = Date(2024, 7, 1);
  pauses = 0;
  const std::string& late = ids[1];
  on_pause = [&] {
    if (pauses == 2) {
      EXPECT_EQ(SaveContent(late, "<p>arrived</p>").status, 200);
    }
  };
  const HttpReply reply = Send("GET", "/kivvet/get_notedata?downIfMissing=&id=" + late);
  on_pause = nullptr;
  EXPECT_EQ(pauses.load(), 2);
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(value::parse(reply.body).at("content").as_string(), "<p>arrived</p>");
}

// Root reads any file; the threads started after this (the service's among
// them) lose that, so a mode of 000 makes a file unreadable.
void DropFileReadOverride() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
  for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) data[cap / 32].effective &= ~(1u << (cap % 32));
  ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
}

class KivvetUnreadableContent : public KivvetContent {
 protected:
  void SetUp() override {
    DropFileReadOverride();
    KivvetContent::SetUp();
  }
};

TEST_F(KivvetUnreadableContent, Answers500WithTheCommonHeaders) {
  const std::string id = MakeNotes(1)[0];
  ASSERT_EQ(SaveContent(id, "<p>x</p>").status, 200);
  const std::string path = NoteData(id).at("path").as_string();
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  const HttpReply reply = Send("GET", "/kivvet/get_notedata?id=" + id);
  EXPECT_EQ(reply.status, 500);
  EXPECT_EQ(reply.body, "{}");
  EXPECT_TRUE(reply.Has("access-control-allow-origin"));
  EXPECT_NE(Log().find("read file error: " + path), std::string::npos);
}

TEST_F(KivvetContent, FavoritesOfOneIdOrAList) {
  const std::string id = MakeNotes(1)[0];
  const std::string one = "{\"id\":\"" + id + "\"}";

  const HttpReply added = Send("POST", "/kivvet/favorite", one);
  ASSERT_EQ(added.status, 200) << added.body;
  const value node = value::parse(added.body);
  EXPECT_EQ(node.at("id").as_string(), id);
  ASSERT_TRUE(node.has_string_field("lid")) << added.body;
  EXPECT_EQ(node.at("lid").as_string().size(), 36u);
  EXPECT_NE(node.at("lid").as_string(), "00000000-0000-0000-0000-000000000000");

  const HttpReply removed = Send("DELETE", "/kivvet/favorite", one);
  ASSERT_EQ(removed.status, 200) << removed.body;
  EXPECT_FALSE(value::parse(removed.body).has_field("lid"));
  EXPECT_EQ(value::parse(removed.body).at("id").as_string(), id);

  const std::string unknown = std::string("{\"id\":\"") + kUnknownId + "\"}";
  const std::string mixed = "{\"id\":[\"" + id + "\",\"" + kUnknownId + "\"]}";
  const struct {
    const char* method;
    std::string body;
    int status;
    std::string reply;
  } cases[] = {
      {"POST", unknown, 500, "{}"},
      {"DELETE", unknown, 500, "{}"},
      {"POST", mixed, 200, "{}"},
      {"DELETE", mixed, 200, "{}"},
      {"POST", "{\"id\":[]}", 400, "{}"},
      {"DELETE", "{\"id\":\"\"}", 400, "{}"},
      {"POST", "{\"id\":5}", 400, "{}"},
      {"POST", "{\"id\":[5]}", 400, "{}"},
      {"POST", "{\"id\":null}", 400, "{}"},
      {"POST", "{}", 400, "{}"},
      {"POST", "[\"" + id + "\"]", 400, "{}"},
      {"DELETE", "not json", 400, "{}"},
  };
  for (const auto& c : cases) {
    const HttpReply reply = Send(c.method, "/kivvet/favorite", c.body);
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.body;
    EXPECT_EQ(reply.body, c.reply) << c.method << " " << c.body;
  }
}

TEST_F(KivvetContent, ChangeRoutesRefuseBadBodies) {
  const std::string id = MakeNotes(1)[0];
  const std::string quoted = JsonText(id);
  const struct {
    const char* method;
    const char* target;
    std::string body;
    int status;
  } cases[] = {
      {"POST", "/kivvet/content", "{\"id\":" + quoted + "}", 400},
      {"POST", "/kivvet/content", "{\"content\":\"<p></p>\"}", 400},
      {"POST", "/kivvet/content", "{\"id\":" + quoted + ",\"content\":5}", 400},
      {"POST", "/kivvet/content", "{\"id\":" + quoted + ",\"content\":\"x\",\"version\":1.5}", 400},
      {"POST", "/kivvet/content", "{\"id\":" + quoted + ",\"content\":\"x\",\"version\":3000000000}", 400},
      {"POST", "/kivvet/content", "{\"id\":" + quoted + ",\"content\":\"x\",\"from\":\"1\"}", 400},
      {"POST", "/kivvet/content", "[]", 400},
      {"PUT", "/kivvet/note/url", "null", 400},
      {"PUT", "/kivvet/note/url", "{\"id\":" + quoted + "}", 400},
      {"PUT", "/kivvet/note/url", "{\"id\":" + quoted + ",\"url\":\"http://a/\",\"from\":-2147483649}", 400},
      {"PUT", "/kivvet/note/url", std::string("{\"id\":\"") + kUnknownId + "\",\"url\":\"http://a/\"}", 500},
      {"PUT", "/kivvet/folder/minimalist", "{\"id\":\"\"}", 400},
      {"PUT", "/kivvet/folder/minimalist", "{\"from\":1}", 400},
      // The engine switches no flag of the root or of an unknown id.
      {"PUT", "/kivvet/folder/minimalist", "{\"id\":\"00000001-0000-0000-0000-000000000000\",\"from\":2}", 500},
      {"PUT", "/kivvet/folder/minimalist", std::string("{\"id\":\"") + kUnknownId + "\"}", 500},
      {"PUT", "/kivvet/note/content/download", "{\"id\":\"\"}", 200},
      {"PUT", "/kivvet/note/content/download", "{}", 400},
      {"POST", "/kivvet/note/importbookmarks", "", 500},
      {"POST", "/kivvet/note/importbookmarks", "{\"bookmarks\":5}", 500},
  };
  for (const auto& c : cases) {
    const HttpReply reply = Send(c.method, c.target, c.body);
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.target << " " << c.body;
    EXPECT_EQ(reply.body, "{}") << c.method << " " << c.target << " " << c.body;
  }
  EXPECT_TRUE(LogGets("/kivvet/note/content/download  params error"));

  // A body that cannot be read as text is a bad body like any other, not
  // the listener's bare 500.
  const HttpReply binary = rktest::Exchange(
      port_, rktest::BuildRequest("POST", "/kivvet/content",
                                  {{"UserName", "ann"}, {"Content-Type", "application/octet-stream"}}, "{}"));
  EXPECT_EQ(binary.status, 400);
  EXPECT_EQ(binary.body, "{}");
  EXPECT_TRUE(binary.Has("access-control-allow-origin"));

  const HttpReply url = Send("PUT", "/kivvet/note/url", "{\"id\":" + quoted + ",\"url\":\"http://127.0.0.1/new\"}");
  ASSERT_EQ(url.status, 200);
  EXPECT_EQ(value::parse(url.body).at("id").as_string(), id);
  EXPECT_NE(url.body.find("http://127.0.0.1/new"), std::string::npos) << url.body;
}

// A page's JSON.stringify writes a lone surrogate escape for a title cut
// inside an emoji; the engine reads it as U+FFFD, as every other route does.
TEST_F(KivvetContent, BookmarkTitlesReadLoneSurrogateEscapesAsReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    std::string title;  // as JSON writes it
    std::string read;
  } titles[] = {
      {R"(cut \ud83d)", "cut " + r},
      {R"(\ude00 low)", r + " low"},
      {R"(\ud83d\ud83d\ude00)", r + "\xF0\x9F\x98\x80"},
      {R"(\uD83D\u0041)", r + "A"},
      {R"(pair \ud83d\ude00)", "pair \xF0\x9F\x98\x80"},
      {R"(kept \\ud800)", "kept \\ud800"},
  };
  std::string body = "[";
  std::multiset<std::string> expected;
  for (const auto& t : titles) {
    body += std::string(body.size() > 1 ? "," : "") + "{\"title\":\"" + t.title + "\",\"url\":\"http://127.0.0.1/b\"}";
    expected.insert(t.read);
  }
  body += "]";
  const HttpReply imported = Send("POST", "/kivvet/note/importbookmarks", body);
  EXPECT_EQ(imported.status, 200) << imported.body;
  EXPECT_EQ(imported.body, "{\"count\":" + std::to_string(expected.size()) + "}");
  const HttpReply notes = Send("GET", "/kivvet/allurlnotes");
  ASSERT_EQ(notes.status, 200) << notes.body;
  std::multiset<std::string> read;
  const value listing = value::parse(notes.body);
  for (const value& node : listing.at("nodes").as_array()) {
    if (node.at("url").as_string() == "http://127.0.0.1/b") read.insert(node.at("fn").as_string());
  }
  EXPECT_EQ(read, expected) << notes.body;
}

TEST_F(KivvetContent, AFailedSaveAnswers500) {
  for (const std::string html : {"<p>no image</p>", "<p><img src=\"file:///x/ResCache/a.png\"></p>"}) {
    const HttpReply reply = SaveContent(kUnknownId, html);
    EXPECT_EQ(reply.status, 500) << html;
    EXPECT_EQ(reply.body, "{}") << html;
  }
  EXPECT_NE(Log().find(std::string("Save note content error. id=") + kUnknownId), std::string::npos);
}

class KivvetImages : public KivvetContent {
 protected:
  void SetUp() override {
    KivvetContent::SetUp();
    files_ = root_ / "files";
    fs::create_directories(files_);
  }

  void TearDown() override {
    RkResourceDownloader::ProcessBodyBudget().SetCapacityForTesting(RkResourceDownloader::kMaxBodyBytesInProcess);
    KivvetContent::TearDown();
  }

  std::string Url(const std::string& path) { return images_.Url(path); }
  std::string Unspecified(const std::string& path) {
    return "http://0.0.0.0:" + std::to_string(images_.port()) + path;
  }

  // Saves the HTML and reads back what the store kept.
  std::string SaveAndRead(const std::string& id, const std::string& html) {
    const HttpReply saved = SaveContent(id, html);
    EXPECT_EQ(saved.status, 200) << saved.body;
    return NoteData(id).at("content").as_string();
  }

  // The reference the source was rewritten to in the content, checked to name
  // a file in "ResCache" that holds the bytes under their MD5; empty when the
  // source stayed as it was.
  std::string StoredAs(const std::string& content, const std::string& before, const std::string& after,
                       const std::string& bytes, const std::string& extension) {
    const size_t start = content.find(before);
    if (start == std::string::npos) {
      ADD_FAILURE() << "no " << before;
      return std::string();
    }
    const size_t end = content.find(after, start + before.size());
    const std::string reference = content.substr(start + before.size(), end - start - before.size());
    const fs::path file = ReferencedFile(reference);
    EXPECT_EQ(file.parent_path().filename(), "ResCache") << reference;
    EXPECT_EQ(file.filename().string(), Md5HexUpper(bytes) + extension) << reference;
    EXPECT_EQ(ReadFile(file), bytes) << reference;
    return reference;
  }

  ImageTestServer images_;
  fs::path files_;
};

TEST_F(KivvetImages, DownloadsAndLocalFilesAreStoredAndRewritten) {
  const std::string id = MakeNotes(1)[0];
  images_.Set("/ok.png", {200, "image/png", PngBytes(1)});
  images_.Set("/data-src.gif", {200, "image/gif", PngBytes(2)});
  images_.Set("/moved", {302, "text/plain", "", {{"Location", "/landed.jpg?size=2"}}});
  images_.Set("/landed.jpg", {200, "image/jpeg", PngBytes(3)});
  images_.Set("/missing.png", {404, "text/plain", "no"});
  images_.Set("/endless.png", {200, "image/png", "", {}, {}, ImageReply::Mode::kEndless});
  images_.Set("/direct.png", {200, "image/png", PngBytes(4)});
  images_.Set("/to-unspecified", {302, "text/plain", "", {{"Location", Unspecified("/via-redirect.png")}}});
  images_.Set("/via-redirect.png", {200, "image/png", PngBytes(5)});
  images_.Set("/upper.png", {200, "image/png", PngBytes(6)});
  images_.Set("/single.png", {200, "image/png", PngBytes(8)});

  const std::string png_file = (files_ / "local.png").string();
  std::ofstream(png_file, std::ios::binary) << PngBytes(7);
  const std::string text_file = (files_ / "notes.txt").string();
  std::ofstream(text_file) << "not an image";
  const std::string fifo = (files_ / "pipe.png").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string cached = "file:///somewhere/ResCache/0123456789ABCDEF0123456789ABCDEF.png";

  const std::string kept_as_is[] = {
      "<img src=\"" + Url("/missing.png") + "\">",
      "<img src=\"" + Url("/endless.png") + "\">",
      "<img src=\"" + Unspecified("/direct.png") + "\">",
      "<img src=\"" + Url("/to-unspecified") + "\">",
      "<img src=\"file:///dev/zero\">",
      "<img src=\"file://" + fifo + "\">",
      "<img src=\"file://" + text_file + "\">",
      "<img src=\"file:///no/such/file.png\">",
      "<img src=\"" + cached + "\">",
      "<img src='" + Url("/single.png") + "'>",
      "<IMG src=\"" + Url("/upper.png") + "\">",
      "<img src=\"data:image/png;base64," + std::string(1 << 20, 'A') + "\">",
  };
  std::string html = "<p>a</p><img alt=\"a1\" src=\"" + Url("/ok.png") + "\"><br><img data-src=\"" +
                     Url("/data-src.gif") + "\" alt=\"a2\" src=\"" + Url("/moved") + "\"><img alt=\"a3\" src=\"file://" +
                     png_file + "\"><p>same again</p><img src=\"" + Url("/ok.png") + "\">";
  for (const std::string& tag : kept_as_is) html += tag;

  const std::string content = SaveAndRead(id, html);
  const std::string ok = StoredAs(content, "<img alt=\"a1\" src=\"", "\"", PngBytes(1), ".png");
  EXPECT_EQ(content.find(Url("/ok.png")), std::string::npos) << "every occurrence is rewritten";
  EXPECT_NE(content.find("same again</p><img src=\"" + ok + "\">"), std::string::npos);
  StoredAs(content, "<br><img data-src=\"", "\"", PngBytes(2), ".gif");
  // The extension comes from the URL as written, not from where it led.
  StoredAs(content, "alt=\"a2\" src=\"", "\"", PngBytes(3), "");
  StoredAs(content, "alt=\"a3\" src=\"", "\"", PngBytes(7), ".png");
  for (const std::string& tag : kept_as_is) EXPECT_NE(content.find(tag), std::string::npos) << tag.substr(0, 80);

  // Requests carried the two headers exactly; refused destinations saw none.
  bool checked = false;
  for (const auto& request : images_.Requests()) {
    if (request.path != "/ok.png") continue;
    checked = true;
    EXPECT_EQ(request.Header("Accept"), RkContentHelper::kAccept);
    EXPECT_EQ(request.Header("User-Agent"), RkContentHelper::kUserAgent);
  }
  EXPECT_TRUE(checked);
  EXPECT_EQ(images_.Hits("/ok.png"), 2u);
  EXPECT_EQ(images_.Hits("/to-unspecified"), 1u);
  EXPECT_EQ(images_.Hits("/direct.png"), 0u);
  EXPECT_EQ(images_.Hits("/via-redirect.png"), 0u);
  EXPECT_EQ(images_.Hits("/upper.png"), 0u);
  EXPECT_EQ(images_.Hits("/single.png"), 0u);
  EXPECT_EQ(images_.Requests().size(), 8u);

  const std::string log = Log();
  EXPECT_NE(log.find("download resource " + Url("/missing.png") + ", error 404"), std::string::npos);
  EXPECT_NE(log.find("destination refused: 0.0.0.0"), std::string::npos);
  EXPECT_NE(log.find("not a valid resource:'" + Url("/single.png") + " : "), std::string::npos);
  EXPECT_NE(log.find("resource:" + cached), std::string::npos);
  EXPECT_NE(log.find("local resource /dev/zero not taken: not a regular file"), std::string::npos);
  EXPECT_NE(log.find("not taken: not an image"), std::string::npos);
  EXPECT_NE(log.find("local resource /no/such/file.png not taken: no such file"), std::string::npos);
}

TEST_F(KivvetImages, AStalledImageEndsAtItsLimitAndTheSaveGoesOn) {
  const std::string id = MakeNotes(1)[0];
  images_.Set("/stall.png", {200, "image/png", "", {}, {}, ImageReply::Mode::kStall});
  images_.Set("/ok.png", {200, "image/png", PngBytes(1)});
  const std::string html = "<img src=\"" + Url("/stall.png") + "\"><img src=\"" + Url("/ok.png") + "\">";
  const auto start = std::chrono::steady_clock::now();
  const std::string content = SaveAndRead(id, html);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_NE(content.find("<img src=\"" + Url("/stall.png") + "\">"), std::string::npos);
  StoredAs(content, "\"><img src=\"", "\">", PngBytes(1), ".png");
  EXPECT_EQ(images_.Hits("/stall.png"), 1u);
  // Ends by the download's limit, not by the peer (which never answers).
  EXPECT_GE(took, std::chrono::seconds(7));
  EXPECT_NE(Log().find("get resource error:"), std::string::npos);
}

TEST_F(KivvetImages, ConcurrentSavesWithSlowImagesAllCompleteWhileTheServiceAnswers) {
  constexpr int kSaves = 16;
  const std::vector<std::string> ids = MakeNotes(kSaves);
  for (int i = 0; i < kSaves; ++i) {
    ImageReply slow{200, "image/png", PngBytes(100 + i)};
    slow.delay = std::chrono::milliseconds(1000);
    images_.Set("/slow" + std::to_string(i) + ".png", slow);
  }
  std::vector<HttpReply> saved(kSaves);
  std::vector<std::thread> savers;
  for (int i = 0; i < kSaves; ++i) {
    savers.emplace_back([&, i] {
      saved[i] = SaveContent(ids[i], "<img src=\"" + Url("/slow" + std::to_string(i) + ".png") + "\">");
    });
  }
  ASSERT_TRUE(images_.WaitForInFlight(1));
  const HttpReply hit = Send("GET", "/kivvet/hit");
  for (std::thread& saver : savers) saver.join();
  EXPECT_EQ(hit.status, 200);
  EXPECT_EQ(hit.body, "{}");
  for (int i = 0; i < kSaves; ++i) {
    ASSERT_EQ(saved[i].status, 200) << i;
    StoredAs(NoteData(ids[i]).at("content").as_string(), "<img src=\"", "\">", PngBytes(100 + i), ".png");
  }
}

// The bytes of held image i, padded to size when that is longer.
std::string HeldBytes(int i, size_t size = 0) {
  std::string bytes = PngBytes(200 + i);
  if (bytes.size() < size) bytes.resize(size, 'x');
  return bytes;
}

// Held images of one save, each held after sent_before_hold bytes of its
// body; the source of image i follows "<p>i</p>".
std::string HeldImages(ImageTestServer& images, int count, size_t size = 0, size_t sent_before_hold = 0) {
  std::string html;
  for (int i = 0; i < count; ++i) {
    const std::string path = "/held" + std::to_string(i) + ".png";
    ImageReply held{200, "image/png", HeldBytes(i, size)};
    held.mode = ImageReply::Mode::kHold;
    held.sent_before_hold = sent_before_hold;
    images.Set(path, held);
    html += "<p>" + std::to_string(i) + "</p><img src=\"" + images.Url(path) + "\">";
  }
  return html;
}

// One save's downloads are open at the image server all at once, so the save
// waits once; the service answers others meanwhile.
TEST_F(KivvetImages, EveryImageOfASaveIsFetchedAtOnce) {
  constexpr int kImages = 24;
  const std::string id = MakeNotes(1)[0];
  const std::string html = HeldImages(images_, kImages);
  HttpReply saved;
  std::thread saver([&] { saved = SaveContent(id, html); });
  const bool all_open = images_.WaitForInFlight(kImages, rktest::kHangBound);
  const HttpReply hit = Send("GET", "/kivvet/hit");
  const int held_at_answer = images_.InFlight();
  images_.Release();
  saver.join();
  EXPECT_TRUE(all_open) << "at most " << images_.MaxInFlight() << " open at once";
  EXPECT_EQ(hit.status, 200);
  EXPECT_EQ(hit.body, "{}");
  EXPECT_EQ(held_at_answer, kImages);
  ASSERT_EQ(saved.status, 200) << saved.body;
  const std::string content = NoteData(id).at("content").as_string();
  for (int i = 0; i < kImages; ++i) {
    StoredAs(content, "<p>" + std::to_string(i) + "</p><img src=\"", "\">", PngBytes(200 + i), ".png");
  }
  EXPECT_EQ(images_.Requests().size(), static_cast<size_t>(kImages));
}

// Past the bound of one save, images wait for a free transfer and are all
// stored in the end.
TEST_F(KivvetImages, ASaveWithMoreImagesThanItsBoundStoresThemAll) {
  constexpr int kBound = static_cast<int>(RkResourceDownloader::kMaxOpenPerSave);
  constexpr int kImages = kBound + 6;
  const std::string id = MakeNotes(1)[0];
  const std::string html = HeldImages(images_, kImages);
  HttpReply saved;
  std::thread saver([&] { saved = SaveContent(id, html); });
  const bool bound_reached = images_.WaitForInFlight(kBound, rktest::kHangBound);
  images_.Release();
  saver.join();
  EXPECT_TRUE(bound_reached) << "at most " << images_.MaxInFlight() << " open at once";
  EXPECT_LE(images_.MaxInFlight(), kBound);
  ASSERT_EQ(saved.status, 200) << saved.body;
  const std::string content = NoteData(id).at("content").as_string();
  for (int i = 0; i < kImages; ++i) {
    StoredAs(content, "<p>" + std::to_string(i) + "</p><img src=\"", "\">", PngBytes(200 + i), ".png");
  }
  EXPECT_EQ(images_.Requests().size(), static_cast<size_t>(kImages));
}

// The bodies that downloads hold at once are bounded across the process.
// Three images of 500 bytes are held after 400 each under a budget of 1000:
// whichever comes third to get its first bytes would pass it and fails; the
// other two then finish within it (1000 when both are whole) and are stored.
// Every byte goes back, so the same images fit a budget of their size.
TEST_F(KivvetImages, DownloadBodiesPastTheProcessBudgetFailAndTheOthersAreStored) {
  constexpr size_t kSize = 500;
  RkBodyBudget& budget = RkResourceDownloader::ProcessBodyBudget();
  budget.SetCapacityForTesting(2 * kSize);
  const std::vector<std::string> ids = MakeNotes(2);
  const std::string html = HeldImages(images_, 3, kSize, 400);
  const std::string over = "get resource error:download bodies over 1000 bytes in flight in the process";
  HttpReply saved;
  std::thread saver([&] { saved = SaveContent(ids[0], html); });
  // Before the release: once one failed, the two left can no longer pass.
  const bool one_failed = LogGets(over);
  images_.Release();
  saver.join();
  ASSERT_TRUE(one_failed);
  ASSERT_EQ(saved.status, 200) << saved.body;
  const std::string content = NoteData(ids[0]).at("content").as_string();
  int kept = 0;
  for (int i = 0; i < 3; ++i) {
    const std::string before = "<p>" + std::to_string(i) + "</p><img src=\"";
    if (content.find(before + Url("/held" + std::to_string(i) + ".png") + "\">") != std::string::npos) {
      ++kept;
    } else {
      StoredAs(content, before, "\">", HeldBytes(i, kSize), ".png");
    }
  }
  EXPECT_EQ(kept, 1) << content;
  const std::string log = Log();
  EXPECT_EQ(log.find(over), log.rfind(over)) << "one failure only";
  EXPECT_EQ(budget.used(), 0u);

  budget.SetCapacityForTesting(3 * kSize);
  const std::string again = SaveAndRead(ids[1], html);
  for (int i = 0; i < 3; ++i) {
    StoredAs(again, "<p>" + std::to_string(i) + "</p><img src=\"", "\">", HeldBytes(i, kSize), ".png");
  }
  EXPECT_EQ(budget.used(), 0u);
}

}  // namespace
}  // namespace rkservice
