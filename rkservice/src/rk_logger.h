// The process-wide logger holder. Every component logs through RkLog* with
// positional placeholders ("{0}"); lines go to standard output until the host
// starts the rotating log file.
#ifndef RKSERVICE_SRC_RK_LOGGER_H_
#define RKSERVICE_SRC_RK_LOGGER_H_

#include <spdlog/spdlog.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "rk_text_format.h"

namespace rkservice {

class RkLogger {
 public:
  virtual ~RkLogger();

  // Makes the holder's logger; every log call runs it through the once-flag.
  static void CreateInstance();
  // The held logger, or null before creation and after release.
  static RkLogger* Instance();
  // Exit-time release; log calls afterwards write nothing.
  static void ReleaseInstance();

  bool Init(const std::string& file, int level);
  int GetLevel() const { return level_.load(std::memory_order_relaxed); }

  // A shared reference keeps the logger alive for the whole log call while
  // Init swaps the console logger for the file logger.
  std::shared_ptr<spdlog::logger> logger() const { return std::atomic_load(&logger_); }

 private:
  RkLogger();

  bool file_started_ = false;
  std::atomic<int> level_{2};
  std::shared_ptr<spdlog::logger> logger_;
};

// The level given to the last accepted Init (2 until then).
int RkLogLevelNow();

template <typename... Args>
void RkLog(spdlog::level::level_enum level, spdlog::format_string_t<Args...> format, Args&&... args) {
  RkLogger* holder = RkLogger::Instance();
  if (holder == nullptr) return;
  std::shared_ptr<spdlog::logger> logger = holder->logger();
  if (logger) logger->log(spdlog::source_loc{}, level, format, std::forward<Args>(args)...);
}

template <typename... Args>
void RkLogTrace(spdlog::format_string_t<Args...> format, Args&&... args) {
  RkLog(spdlog::level::trace, format, std::forward<Args>(args)...);
}
template <typename... Args>
void RkLogDebug(spdlog::format_string_t<Args...> format, Args&&... args) {
  RkLog(spdlog::level::debug, format, std::forward<Args>(args)...);
}
template <typename... Args>
void RkLogInfo(spdlog::format_string_t<Args...> format, Args&&... args) {
  RkLog(spdlog::level::info, format, std::forward<Args>(args)...);
}
template <typename... Args>
void RkLogWarn(spdlog::format_string_t<Args...> format, Args&&... args) {
  RkLog(spdlog::level::warn, format, std::forward<Args>(args)...);
}
template <typename... Args>
void RkLogError(spdlog::format_string_t<Args...> format, Args&&... args) {
  RkLog(spdlog::level::err, format, std::forward<Args>(args)...);
}

}  // namespace rkservice

#endif  // RKSERVICE_SRC_RK_LOGGER_H_
