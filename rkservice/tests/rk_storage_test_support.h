// Shared by the store and notification tests: a capture of the service's log
// lines, a temporary folder, and a few SQLite reads that check the files the
// store writes with SQLite itself.
#ifndef RKSERVICE_TESTS_RK_STORAGE_TEST_SUPPORT_H_
#define RKSERVICE_TESTS_RK_STORAGE_TEST_SUPPORT_H_

#include <spdlog/sinks/base_sink.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "rk_logger.h"

namespace rktest {

// Collects the text of every line the service logs, at every level, while it
// lives.
class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<Sink>()) {
    logger_ = rkservice::RkLogger::Instance()->logger();
    old_level_ = logger_->level();
    logger_->sinks().push_back(sink_);
    logger_->set_level(spdlog::level::trace);
  }
  ~LogCapture() {
    auto& sinks = logger_->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    logger_->set_level(old_level_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  struct Line {
    spdlog::level::level_enum level;
    std::string text;
  };

  std::vector<Line> Lines() const { return sink_->Lines(); }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const Line& line : Lines()) texts.push_back(line.text);
    return texts;
  }
  // Lines holding `part`.
  size_t Count(const std::string& part) const {
    size_t n = 0;
    for (const Line& line : Lines()) n += line.text.find(part) != std::string::npos ? 1 : 0;
    return n;
  }
  void Clear() { sink_->Clear(); }

 private:
  class Sink : public spdlog::sinks::base_sink<std::mutex> {
   public:
    std::vector<Line> Lines() {
      std::lock_guard<std::mutex> lock(mutex_);
      return lines_;
    }
    void Clear() {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.clear();
    }

   protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
      lines_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

   private:
    std::vector<Line> lines_;
  };

  std::shared_ptr<Sink> sink_;
  std::shared_ptr<spdlog::logger> logger_;
  spdlog::level::level_enum old_level_;
};

class TempDir {
 public:
  TempDir() {
    std::random_device seed;
    path_ = std::filesystem::temp_directory_path() /
            ("rk_storage_" + std::to_string(::getpid()) + "_" + std::to_string(seed()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A connection of the test's own to a store's file; it may write, so that
// it can roll back what a killed writer left half done, as any opener does.
class SqliteFile {
 public:
  explicit SqliteFile(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
    }
  }
  ~SqliteFile() { sqlite3_close(db_); }
  SqliteFile(const SqliteFile&) = delete;
  SqliteFile& operator=(const SqliteFile&) = delete;

  bool ok() const { return db_ != nullptr; }

  // Every row of the query, each column as text ("NULL" for NULL); an error
  // gives one row holding "error: " and SQLite's message.
  std::vector<std::vector<std::string>> Rows(const std::string& sql,
                                             const std::vector<std::string>& params = {}) const {
    std::vector<std::vector<std::string>> rows;
    sqlite3_stmt* stmt = nullptr;
    if (db_ == nullptr || sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      rows.push_back({"error: " + std::string(db_ != nullptr ? sqlite3_errmsg(db_) : "not open")});
      return rows;
    }
    for (size_t i = 0; i < params.size(); ++i) {
      sqlite3_bind_text(stmt, static_cast<int>(i + 1), params[i].data(), static_cast<int>(params[i].size()),
                        SQLITE_TRANSIENT);
    }
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        if (sqlite3_column_type(stmt, c) == SQLITE_NULL) {
          row.push_back("NULL");
        } else {
          const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt, c));
          row.emplace_back(data != nullptr ? data : "", sqlite3_column_bytes(stmt, c));
        }
      }
      rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) rows.push_back({"error: " + std::string(sqlite3_errmsg(db_))});
    sqlite3_finalize(stmt);
    return rows;
  }

  // The first column of the first row, or "" when there is none.
  std::string Value(const std::string& sql, const std::vector<std::string>& params = {}) const {
    const auto rows = Rows(sql, params);
    return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
  }

 private:
  sqlite3* db_ = nullptr;
};

inline std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

inline std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_STORAGE_TEST_SUPPORT_H_
