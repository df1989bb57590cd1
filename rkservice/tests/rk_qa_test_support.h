// The quick-access tests' service: the real service on a free loopback port,
// its notify host a recording endpoint of the test's own, and a hold on each
// user's handler so that a test can wait until its requests (notifications
// included) have ended before it looks at what was sent.
#ifndef RKSERVICE_TESTS_RK_QA_TEST_SUPPORT_H_
#define RKSERVICE_TESTS_RK_QA_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "handlers/rk_qa_handler.h"
#include "rk_handler_registry.h"
#include "rk_in_process_service.h"
#include "rk_logger.h"
#include "rk_notify_test_server.h"
#include "rk_test_http.h"
#include "rk_test_log.h"
#include "rkservice.h"

namespace rkservice {
namespace qatest {

namespace fs = std::filesystem;
using rktest::HeaderList;
using rktest::HttpReply;

// Handlers made for the current test, by user (one per service).
inline std::mutex g_handlers_mutex;
inline std::map<std::string, std::vector<RkQAHandler*>> g_handlers;

inline std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every row of the data file's value table, key -> bytes, read with SQLite itself.
inline std::map<std::string, std::string> StoredRows(const fs::path& file) {
  std::map<std::string, std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, "SELECT storage_key, storage_binary FROM storage", -1, &statement, nullptr);
  while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
    const auto* key = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 1));
    rows[key != nullptr ? key : ""] += std::string(bytes != nullptr ? bytes : "", sqlite3_column_bytes(statement, 1));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

// The text's UTF-16LE bytes, as the store keeps them.
inline std::string Utf16Bytes(const std::u16string& text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

class QaServiceTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    RkAddTestHandlerKind({"quickaccess", "QuickAccess", true, RkHandlerKind::Data::kUnderRoot,
                          [](const std::string& user, const fs::path& folder) {
                            auto* handler = new RkQAHandler(user, folder);
                            std::lock_guard<std::mutex> lock(g_handlers_mutex);
                            g_handlers[user].push_back(handler);
                            return handler;
                          }});
  }

  void SetUp() override {
    root_ = fs::path(testing::TempDir()) / ("rk_qa_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    log_ = root_ / "test.log";
    ASSERT_TRUE(RkServiceManager::GetInstance()->StartLogger(log_.string(), kRkLogTrace));
    port_ = rktest::FreeLoopbackPort();
    Start();
  }

  void TearDown() override {
    Stop();
    fs::remove_all(root_);
  }

  // A service over the test's root; a second one on another port serves the
  // same files through stores of its own.
  void Start(const std::string& name = "qa", int port = 0) {
    ASSERT_TRUE(rktest::StartInProcessService(name, port != 0 ? port : port_, root_.string(), notify_.host()));
  }

  // Drops the service and its handlers; their stores close (and back up).
  void Stop() {
    RkServiceManager::GetInstance()->RemoveAllService();
    std::lock_guard<std::mutex> lock(g_handlers_mutex);
    g_handlers.clear();
  }

  HttpReply Get(const std::string& target, const std::string& user = "ann", int port = 0) {
    return rktest::Request(port != 0 ? port : port_, "GET", target, {{"UserName", user}});
  }

  HttpReply Post(const std::string& target, const std::string& body, const std::string& user = "ann",
                 const std::string& content_type = "application/json", int port = 0) {
    HeaderList headers = {{"UserName", user}};
    if (!content_type.empty()) headers.emplace_back("Content-Type", content_type);
    return rktest::Request(port != 0 ? port : port_, "POST", target, headers, body);
  }

  // Waits until the user's requests have ended, notifications included.
  void Settle(const std::string& user = "ann") {
    std::vector<RkQAHandler*> handlers;
    {
      std::lock_guard<std::mutex> lock(g_handlers_mutex);
      const auto found = g_handlers.find(user);
      if (found != g_handlers.end()) handlers = found->second;
    }
    for (RkQAHandler* handler : handlers) handler->WaitIdleForTesting();
  }

  // Request lines the notify host got, once the user's requests have ended.
  std::vector<std::string> Notifications(const std::string& user = "ann") {
    Settle(user);
    std::vector<std::string> lines;
    for (const rktest::NotifyRequest& request : notify_.Requests()) lines.push_back(request.request_line);
    return lines;
  }

  std::string Log() { return rktest::FlushedLog(log_); }

  fs::path UserFolder(const std::string& user = "ann") const { return root_ / user / "QuickAccess"; }
  fs::path DataFile(const std::string& user = "ann") const { return UserFolder(user) / "QaConfig.dat"; }

  rktest::NotifyTestServer notify_;
  fs::path root_;
  fs::path log_;
  int port_ = 0;
};

}  // namespace qatest
}  // namespace rkservice

#endif  // RKSERVICE_TESTS_RK_QA_TEST_SUPPORT_H_
