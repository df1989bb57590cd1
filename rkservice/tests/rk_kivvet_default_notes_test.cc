// The default notes of a new user, end to end: the service library and the
// notes engine's test flavour loaded from a folder that holds the
// default-notes archives of the test's choosing, requests over loopback HTTP,
// and the store files on disk.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rk_archive_test_writer.h"
#include "rk_default_notes_source.h"
#include "rk_kivvet_test_service.h"
#include "rk_kivvet_test_support.h"
#include "rk_utils.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using rktest::ArchiveItem;
using rktest::KivvetRequest;
using rktest::kDefaultContentParent;
using rktest::kDefaultUrlParent;

constexpr char kFixedIds[][37] = {"00000001-0000-0000-0000-000000000000", "00000002-0000-0000-0000-000000000000",
                                  "00000003-0000-0000-0000-000000000000"};

// The locale variables the service reads, in its order; null unsets one.
void SetLocale(const char* lc_all, const char* lc_messages, const char* lang) {
  const std::pair<const char*, const char*> variables[] = {
      {"LC_ALL", lc_all}, {"LC_MESSAGES", lc_messages}, {"LANG", lang}};
  for (const auto& [name, value] : variables) {
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
}

std::string DefaultDat(const Json& nodes) {
  return "\xEF\xBB\xBF[main]\r\nmetas=" + Json{{"nodes", nodes}}.dump() + "\r\n";
}

// What an archive entry is replaced by in a test folder.
constexpr char kAFolder[] = "<a folder>";

class KivvetDefaultNotes : public testing::Test {
 protected:
  void SetUp() override { SetLocale(nullptr, nullptr, "en_US.UTF-8"); }

  // A folder as the service ships: copies of the service library, the SQL
  // engine library and the notes engine's test flavour, and default_notes/
  // with these archives (name to bytes, or kAFolder).
  void MakeFolder(const std::map<std::string, std::string>& archives) {
    const fs::path from = RK_KIVVET_TESTING_DIR;
    fs::create_directories(dir_ / "default_notes");
    for (const char* library : {"librkservice.so", "librkdb.so", "libRkKivvet.so"}) {
      fs::copy_file(from / library, dir_ / library);
    }
    for (const auto& [name, bytes] : archives) WriteArchive(name, bytes);
  }

  void WriteArchive(const std::string& name, const std::string& bytes) {
    const fs::path path = dir_ / "default_notes" / name;
    std::error_code ec;
    fs::remove_all(path, ec);
    if (bytes == kAFolder) {
      fs::create_directories(path);
    } else {
      rktest::WriteFile(path, bytes);
    }
  }

  int Start(const fs::path& folder) {
    fs::create_directories(root_);
    std::ofstream(root_ / "rklog.a").close();  // info lines too
    service_ = std::make_unique<rktest::KivvetServiceLibrary>(folder);
    return service_->Start("notes", root_, "http://127.0.0.1:1");
  }

  Json GetJson(int port, const std::string& target, const std::string& user = "ann") {
    const rktest::HttpReply reply = KivvetRequest(port, "GET", target, {}, "", user);
    EXPECT_EQ(reply.status, 200) << target << ": " << reply.body;
    return Json::parse(reply.body, nullptr, false);
  }

  fs::path NotesDir(const std::string& user) const { return root_ / user / "Kivvet"; }

  // The reference SaveResource gives for an image of the user's store.
  std::string Reference(const std::string& user, const std::string& image) const {
    return "file://" + (NotesDir(user) / "ResCache" / (rkservice::Md5HexUpper(image) + ".png")).string();
  }

  rktest::KivvetTempDir temp_;
  const fs::path dir_ = fs::canonical(temp_.path()) / "service";
  const fs::path root_ = fs::canonical(temp_.path()) / "root";
  std::unique_ptr<rktest::KivvetServiceLibrary> service_;
};

struct LocaleCase {
  const char* name;
  const char* lc_all;
  const char* lc_messages;
  const char* lang;
  std::string locale_name;
  std::string source;  // the authored notes expected: zh or en
  std::string archive;
};

void PrintTo(const LocaleCase& c, std::ostream* os) { *os << c.name; }

class KivvetDefaultNotesByLocale : public KivvetDefaultNotes, public testing::WithParamInterface<LocaleCase> {};

// The shipped archives: folders under the root, notes with their content and
// image under "00000011-...", url notes under "00000010-...", the favourite.
TEST_P(KivvetDefaultNotesByLocale, ANewUserGetsTheDefaultNotesOfTheirLocale) {
  const LocaleCase& c = GetParam();
  SetLocale(c.lc_all, c.lc_messages, c.lang);
  const int port = Start(RK_KIVVET_TESTING_DIR);
  ASSERT_NE(port, 0);

  const std::vector<rktest::DefaultNode> nodes = rktest::DefaultNodes(c.source);
  std::map<std::string, Json> listed;
  const Json listing = GetJson(port, "/kivvet/allurlnotes?with_folder=1");
  for (const Json& node : listing.at("nodes")) listed[node.at("id")] = node;
  int folders = 0;
  int notes = 0;
  for (const rktest::DefaultNode& n : nodes) {
    SCOPED_TRACE(n.uuid);
    Json path = Json::array();
    if (!n.folder()) path.push_back({{"fn", rktest::FindDefaultNode(nodes, n.parent())->name}, {"id", n.parent()}});
    EXPECT_EQ(GetJson(port, "/kivvet/path?id=" + n.uuid).at("path"), path);
    if (n.folder()) {
      ++folders;
      continue;
    }
    ++notes;
    ASSERT_EQ(listed.count(n.uuid), 1u);
    const Json& node = listed[n.uuid];
    EXPECT_EQ(node.at("fn"), n.name);
    EXPECT_EQ(node.at("pid"), n.parent());
    EXPECT_EQ(node.at("et"), n.et);
    EXPECT_EQ(node.at("url"), n.url);
    EXPECT_EQ(node.at("sum"), n.sum);
    EXPECT_EQ(node.at("tu"), n.tu);
    EXPECT_EQ(node.at("has_content"), n.with_content());
    if (!n.with_content()) continue;

    // The template's "%s" names the stored image: ResCache/<MD5 of it>.png.
    EXPECT_EQ(node.at("res"), 1);
    const std::string html_template = rktest::DefaultTemplate(c.source, n.uuid);
    const std::string content = GetJson(port, "/kivvet/get_notedata?id=" + n.uuid).at("content");
    const size_t at = html_template.find("%s");
    ASSERT_NE(at, std::string::npos);
    const std::string prefix = "file://" + (NotesDir("ann") / "ResCache").string() + "/";
    ASSERT_EQ(content.compare(0, at, html_template, 0, at), 0) << content;
    ASSERT_EQ(content.compare(at, prefix.size(), prefix), 0) << content;
    const std::string image_name = content.substr(at + prefix.size(), 32 + 4);
    const std::string image = rktest::ReadAll(NotesDir("ann") / "ResCache" / image_name);
    EXPECT_EQ(image.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
    EXPECT_EQ(content, html_template.substr(0, at) + Reference("ann", image) + html_template.substr(at + 2));
  }

  const Json meta = GetJson(port, "/kivvet/get_notemeta");
  EXPECT_EQ(meta.at("folders"), folders);
  EXPECT_EQ(meta.at("notes"), notes);
  ASSERT_EQ(meta.at("favorites").size(), 1u) << meta;
  EXPECT_EQ(meta.at("favorites")[0].at("id"), kDefaultContentParent);
  EXPECT_EQ(meta.at("favorites")[0].at("flags"), 3);

  const std::string log = rktest::FlushedServiceLog(port, root_);
  EXPECT_NE(log.find("] [ info] local language is: " + c.locale_name + "\n"), std::string::npos) << log;
  const fs::path archive = fs::path(RK_KIVVET_TESTING_DIR) / "default_notes" / c.archive;
  EXPECT_NE(log.find("] [ info] will init default note with:" + archive.string() + "\n"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Locales, KivvetDefaultNotesByLocale,
    testing::Values(LocaleCase{"LangZhCn", nullptr, nullptr, "zh_CN.UTF-8", "zh-CN", "zh", "Default.7z"},
                    LocaleCase{"LcAllBeforeLang", "en_US.UTF-8", nullptr, "zh_CN.UTF-8", "en-US", "en", "Default_en.7z"},
                    LocaleCase{"LcMessagesBeforeLang", nullptr, "zh_CN.UTF-8", "en_GB.UTF-8", "zh-CN", "zh", "Default.7z"},
                    LocaleCase{"ZhTwIsNotZhCn", nullptr, nullptr, "zh_TW.UTF-8", "zh-TW", "en", "Default_en.7z"},
                    LocaleCase{"Unset", nullptr, nullptr, nullptr, "en-US", "en", "Default_en.7z"}),
    [](const testing::TestParamInfo<LocaleCase>& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  std::optional<std::string> archive;  // Default_en.7z; none: missing
  std::vector<std::string> log_lines;  // {archive} stands for its path
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class KivvetDefaultNotesFailure : public KivvetDefaultNotes, public testing::WithParamInterface<FailureCase> {};

std::string ShippedEnglishArchive() {
  return rktest::ReadAll(fs::path(RK_OUTPUT_DIR) / "default_notes" / "Default_en.7z");
}

// A new user is left without a store file, so the next start tries again; a
// store that exists and reads empty is kept as it was.
TEST_P(KivvetDefaultNotesFailure, AnArchiveThatCannotBeImportedLeavesNoNewStore) {
  const FailureCase& c = GetParam();
  MakeFolder({});
  if (c.archive) WriteArchive("Default_en.7z", *c.archive);
  const fs::path existing = NotesDir("bob") / "Kivvet.dat";
  {
    fs::create_directories(existing.parent_path());
    const rktest::KivvetLibrary library((dir_ / "libRkKivvet.so").string());
    rktest::Engine engine(library);
    ASSERT_TRUE(engine.ok() && engine.Open(existing));
  }
  const std::string existing_bytes = rktest::ReadAll(existing);
  ASSERT_FALSE(existing_bytes.empty());

  const int port = Start(dir_);
  ASSERT_NE(port, 0);
  // Both users are served as without an engine: no sync starts on the
  // store that was closed.
  const std::string init_body =
      R"({"uid":"u","did":"d","key":"k","app":"a","host":"http://127.0.0.1:1","res_host":"http://127.0.0.1:1",)"
      R"("cver":"1","vip_level":0})";
  for (const char* user : {"ann", "bob"}) {
    const rktest::HttpReply reply = KivvetRequest(port, "GET", "/kivvet/get_notemeta", {}, "", user);
    EXPECT_EQ(reply.status, 500) << user;
    EXPECT_EQ(reply.body, "{}") << user;
    const rktest::HttpReply init = KivvetRequest(port, "PUT", "/kivvet/sync/init", init_body, "application/json", user);
    EXPECT_EQ(init.status, 500) << user;
    EXPECT_EQ(init.body, "{}") << user;
  }
  // Neither the store nor its journal.
  for (const auto& entry : fs::directory_iterator(NotesDir("ann"))) {
    EXPECT_NE(entry.path().filename().string().rfind("Kivvet.dat", 0), 0u) << entry.path();
  }
  EXPECT_EQ(rktest::ReadAll(existing), existing_bytes);

  const std::string log = rktest::FlushedServiceLog(port, root_);
  const std::string archive = (dir_ / "default_notes" / "Default_en.7z").string();
  for (std::string line : c.log_lines) {
    for (size_t at; (at = line.find("{archive}")) != std::string::npos;) line.replace(at, 9, archive);
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_NE(log.find("] [error] InitStorage error"), std::string::npos) << log;
}

const char kMessageBox[] =
    "] [error] [Rekvani] Can not init notes, because default note file not exists or can not open\nPlease reinstall "
    "the application";

INSTANTIATE_TEST_SUITE_P(
    Archives, KivvetDefaultNotesFailure,
    testing::Values(
        FailureCase{"Missing", std::nullopt,
                    {"] [error] default note file not exists or can not open, please check it:{archive}\n", kMessageBox}},
        FailureCase{"Unreadable", kAFolder, {"] [error] can not open archive:{archive}\n", kMessageBox}},
        FailureCase{"NotA7zFile", "not an archive", {"] [error] Error returned by SzArchiveOpen: 17\n", kMessageBox}},
        FailureCase{"Truncated", ShippedEnglishArchive().substr(0, ShippedEnglishArchive().size() / 2),
                    {"] [error] Error returned by Sz", kMessageBox}},
        FailureCase{"WithoutDefaultDat", rktest::Make7z({{"Notes/x", "<p>%s</p>"}}), {"] [error] can not parse json:\n"}},
        FailureCase{"MetasNoObject", rktest::Make7z({{"Default.dat", "[main]\r\nmetas=[1,2]\r\n"}}),
                    {"] [error] can not parse json:[1,2]\n"}}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// Templates are text: only the first "%s" is replaced, "%%" gives "%", the
// rest stays, and nothing is cut at 4 KiB. Notes whose template or image is
// missing, or that have no parent id, are left out.
TEST_F(KivvetDefaultNotes, TemplatesAreImportedIntact) {
  const std::string short_template = "<p>%s%s%x%n 100%% done</p>";
  const std::string long_template = "<p>" + std::string(4500, 'x') + "<img src=\"%s\">" + std::string(600, 'y') + "</p>";
  const std::string short_image = "short image bytes";
  const std::string long_image = std::string(3000, '\x89');
  const char kShort[] = "0000C001-0000-0000-0000-000000000000";
  const char kLong[] = "0000C002-0000-0000-0000-000000000000";
  const char kNoTemplate[] = "0000C003-0000-0000-0000-000000000000";
  const char kNoImage[] = "0000C004-0000-0000-0000-000000000000";
  const char kNoPid[] = "0000C005-0000-0000-0000-000000000000";
  const Json nodes = Json::array({
      {{"uuid", kDefaultContentParent}, {"pid", rktest::kRoot}, {"fn", "Notes"}, {"ft", 0}},
      {{"uuid", kShort}, {"pid", kDefaultContentParent}, {"fn", "short"}, {"ft", 1}, {"et", 0}},
      {{"uuid", kLong}, {"pid", kDefaultContentParent}, {"fn", "long"}, {"ft", 1}, {"et", 0}},
      {{"uuid", kNoTemplate}, {"pid", kDefaultContentParent}, {"fn", "no template"}, {"ft", 1}},
      {{"uuid", kNoImage}, {"pid", kDefaultContentParent}, {"fn", "no image"}, {"ft", 1}},
      {{"uuid", kNoPid}, {"fn", "no pid"}, {"ft", 1}},
  });
  MakeFolder({{"Default_en.7z", rktest::Make7z({
                                    {"Default.dat", DefaultDat(nodes)},
                                    {std::string("Notes/") + kShort, short_template},
                                    {std::string("Notes/") + kShort + ".png", short_image},
                                    {std::string("Notes/") + kLong, long_template},
                                    {std::string("Notes/") + kLong + ".png", long_image},
                                    {std::string("Notes/") + kNoImage, "<p>%s</p>"},
                                    {std::string("Notes/") + kNoPid, "<p>%s</p>"},
                                    {std::string("Notes/") + kNoPid + ".png", short_image},
                                })}});
  const int port = Start(dir_);
  ASSERT_NE(port, 0);

  EXPECT_EQ(GetJson(port, "/kivvet/get_notedata?id=" + std::string(kShort)).at("content"),
            "<p>" + Reference("ann", short_image) + "%s%x%n 100% done</p>");
  const std::string long_content = GetJson(port, "/kivvet/get_notedata?id=" + std::string(kLong)).at("content");
  EXPECT_GT(long_content.size(), 4096u);
  EXPECT_EQ(long_content, "<p>" + std::string(4500, 'x') + "<img src=\"" + Reference("ann", long_image) + "\">" +
                              std::string(600, 'y') + "</p>");
  EXPECT_EQ(rktest::ReadAll(NotesDir("ann") / "ResCache" / (rkservice::Md5HexUpper(long_image) + ".png")), long_image);
  for (const char* left_out : {kNoTemplate, kNoImage, kNoPid}) {
    EXPECT_EQ(KivvetRequest(port, "GET", "/kivvet/path?id=" + std::string(left_out)).status, 500) << left_out;
  }
  EXPECT_EQ(GetJson(port, "/kivvet/get_notemeta").at("notes"), 2);
}

// The reset takes its ids from Default.7z whatever the locale: every node's
// uuid (also one without a parent id), then 00000001-, 00000002- and
// 00000003-; the engine gets exactly that list. The archive is read anew
// for each reset.
TEST_F(KivvetDefaultNotes, TheResetSendsTheFullArchivesIdsAndTheFixedOnes) {
  const char kEnglishNote[] = "0000E001-0000-0000-0000-000000000000";
  const Json english = Json::array({
      {{"uuid", kDefaultUrlParent}, {"pid", rktest::kRoot}, {"fn", "Pages"}, {"ft", 0}},
      {{"uuid", kEnglishNote}, {"pid", kDefaultUrlParent}, {"fn", "page"}, {"ft", 1}, {"et", 3}, {"url", "https://e.test/"}},
  });
  const std::vector<std::string> full_ids = {"0000D001-0000-0000-0000-000000000000",
                                             "0000D002-0000-0000-0000-000000000000",
                                             "0000D003-0000-0000-0000-000000000000"};
  const Json full = Json::array({
      {{"uuid", full_ids[0]}, {"pid", rktest::kRoot}, {"fn", "folder"}, {"ft", 0}},
      {{"uuid", full_ids[1]}, {"fn", "without a parent id"}, {"ft", 0}},
      {{"uuid", full_ids[2]}, {"pid", kDefaultUrlParent}, {"fn", "page"}, {"ft", 1}, {"et", 3}},
  });
  MakeFolder({{"Default_en.7z", rktest::Make7z({{"Default.dat", DefaultDat(english)}})},
              {"Default.7z", rktest::Make7z({{"Default.dat", DefaultDat(full)}})}});
  const int port = Start(dir_);
  ASSERT_NE(port, 0);
  // Filled from the English archive.
  EXPECT_EQ(KivvetRequest(port, "GET", "/kivvet/path?id=" + std::string(kEnglishNote)).status, 200);
  EXPECT_EQ(KivvetRequest(port, "GET", "/kivvet/path?id=" + full_ids[0]).status, 500);

  void* engine = dlopen((dir_ / "libRkKivvet.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(engine, nullptr) << "the service has not loaded its engine";
  const auto last_reset =
      reinterpret_cast<rkkivvet::RkKivvetTestLastResetFn>(dlsym(engine, rkkivvet::kRkKivvetTestLastResetName));
  ASSERT_NE(last_reset, nullptr);
  ASSERT_EQ(last_reset(nullptr), 0);

  const rktest::HttpReply reset = KivvetRequest(port, "PUT", "/kivvet/sync/reset_sync_ver");
  EXPECT_EQ(reset.status, 200);
  EXPECT_EQ(reset.body, "{}");
  std::vector<rkkivvet::RkGuid> ids;
  ASSERT_EQ(last_reset(&ids), 1);
  std::vector<std::string> texts;
  for (const rkkivvet::RkGuid& id : ids) texts.push_back(rktest::Text(id));
  std::vector<std::string> expected = full_ids;
  expected.insert(expected.end(), std::begin(kFixedIds), std::end(kFixedIds));
  EXPECT_EQ(texts, expected);

  // Each failure answers 500 without reaching the engine.
  const std::string archive = (dir_ / "default_notes" / "Default.7z").string();
  const struct {
    const char* what;
    std::optional<std::string> bytes;  // none: missing
    std::string log_line;
  } failures[] = {
      {"missing", std::nullopt, "] [error] default note file not exists or can not open, please check it:" + archive},
      {"no Default.dat", rktest::Make7z({{"Notes/x", "x"}}), "] [error] can not get default dat: " + archive},
      {"a uuid that is no text", rktest::Make7z({{"Default.dat", DefaultDat(Json::array({{{"uuid", 5}}}))}}), ""},
  };
  for (const auto& f : failures) {
    fs::remove(archive);
    if (f.bytes) WriteArchive("Default.7z", *f.bytes);
    const rktest::HttpReply failed = KivvetRequest(port, "PUT", "/kivvet/sync/reset_sync_ver");
    EXPECT_EQ(failed.status, 500) << f.what;
    EXPECT_EQ(failed.body, "{}") << f.what;
    EXPECT_EQ(last_reset(nullptr), 1) << f.what;
    if (!f.log_line.empty()) {
      EXPECT_NE(rktest::FlushedServiceLog(port, root_).find(f.log_line), std::string::npos) << f.what;
    }
  }
}

}  // namespace
