// Shared by the form-fill tests: the service started through the flat
// interface on a loopback port, with a notification endpoint of the test's
// own, requests as the browser sends them, and the three store files read
// with SQLite itself.
#ifndef RKSERVICE_TESTS_RK_TESSEL_FILL_TEST_SUPPORT_H_
#define RKSERVICE_TESTS_RK_TESSEL_FILL_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "rk_notify_test_server.h"
#include "rk_storage_test_support.h"
#include "rk_test_http.h"
#include "rkservice.h"

namespace rktest {

namespace fs = std::filesystem;

constexpr char kAccountFile[] = "rkpwdaccount.dat";
constexpr char kSecretFile[] = "rkpwdinfo.dat";
constexpr char kCommonFile[] = "rkcommonid.dat";

class TesselFillTest : public testing::Test {
 protected:
  // With full logging the service starts its own log file, as the browser's
  // marker file asks; otherwise the test's log at trace level.
  virtual bool FullLogging() const { return false; }

  void SetUp() override {
    root_ = fs::path(testing::TempDir()) / ("rk_fill_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    if (FullLogging()) {
      std::ofstream(root_ / "rklog.a").put('\n');
    } else {
      ASSERT_TRUE(StartLogger((root_ / "test.log").string().c_str(), rkservice::kRkLogTrace));
    }
    port_ = FreeLoopbackPort();
    StartService("fill", port_);
    log_ = std::make_unique<LogCapture>();
  }

  // A service over the test's root; a second one serves the same files
  // through handlers and stores of its own.
  void StartService(const std::string& name, int port_number) {
    const std::string port = std::to_string(port_number);
    const std::string root = root_.string();
    const std::string host = notify_.host();
    const RkServiceDesc desc{name.c_str(), port.c_str(), root.c_str(), 1, host.c_str()};
    ASSERT_TRUE(AddRkService(&desc));
    char* address = nullptr;
    int length = 0;
    ASSERT_TRUE(StartRkService(name.c_str(), &address, &length));
    FreeMemory(reinterpret_cast<void**>(&address));
  }

  void TearDown() override {
    ReleaseRkService();
    log_.reset();
    fs::remove_all(root_);
  }

  HttpReply Call(const std::string& method, const std::string& target, const std::string& body = {},
                 const std::string& user = "ann", int port = 0) {
    HeaderList headers = {{"UserName", user}};
    if (!body.empty()) headers.emplace_back("Content-Type", "application/json");
    return Request(port != 0 ? port : port_, method, target, headers, body);
  }

  HttpReply AddCard(const std::string& type, const std::string& key, const std::string& value,
                    const std::string& user = "ann", int port = 0) {
    const nlohmann::json body = {{"type", type}, {"key", key}, {"value", value}};
    return Call("POST", "/tesselfill/card/add_or_update", body.dump(), user, port);
  }

  HttpReply Export(const std::string& type, const std::string& user = "ann") {
    return Call("GET", "/tesselfill/sync/" + type + "/get", {}, user);
  }

  HttpReply Import(const std::string& type, const std::string& document, const std::string& user = "ann") {
    return Call("POST", "/tesselfill/sync/" + type + "/set", document, user);
  }

  fs::path Folder(const std::string& user = "ann") const { return root_ / user / "TesselFill"; }

  std::string DbPath(const std::string& file, const std::string& user = "ann") const {
    return (Folder(user) / file).string();
  }

  // Key and value of every stored card, in key order.
  std::vector<std::pair<std::string, std::string>> Stored(const std::string& file,
                                                           const std::string& user = "ann") const {
    std::vector<std::pair<std::string, std::string>> cards;
    for (const auto& row :
         SqliteFile(DbPath(file, user)).Rows("SELECT storage_key, storage_binary FROM storage ORDER BY storage_key")) {
      cards.emplace_back(row.at(0), row.size() > 1 ? row[1] : "");
    }
    return cards;
  }

  // Keys recorded as not yet synchronised, in key order.
  std::vector<std::string> Unsynced(const std::string& file, const std::string& user = "ann") const {
    std::vector<std::string> keys;
    for (const auto& row :
         SqliteFile(DbPath(file, user)).Rows("SELECT storage_key FROM storage_nosync ORDER BY storage_key")) {
      keys.push_back(row.at(0));
    }
    return keys;
  }

  // Whether a line of the service's log holds `text`; waits for it, since
  // some routes log after their reply.
  bool Logged(const std::string& text) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (log_->Count(text) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  NotifyTestServer notify_;
  fs::path root_;
  int port_ = 0;
  std::unique_ptr<LogCapture> log_;
};

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_TESSEL_FILL_TEST_SUPPORT_H_
