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

#include "rk_utils.h"

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

namespace log_detail {
// Text arguments reach the sinks as well-formed UTF-8 (they may quote what a
// request sent); everything else as it is.
template <typename T>
const T& LogArg(const T& value) {
  return value;
}
inline std::string LogArg(const std::u16string& value) { return WideToUtf8(value); }
inline std::string LogArg(std::string_view value) {
  return IsWellFormedUtf8(value) ? std::string(value) : WellFormedUtf8(std::string(value));
}
inline std::string LogArg(const std::string& value) { return WellFormedUtf8(value); }
inline std::string LogArg(const char* value) { return LogArg(std::string_view(value)); }
template <typename T>
using LogArgType = decltype(LogArg(std::declval<const T&>()));
}  // namespace log_detail

template <typename... Args>
void RkLog(spdlog::level::level_enum level, spdlog::format_string_t<log_detail::LogArgType<Args>...> format,
           const Args&... args) {
  RkLogger* holder = RkLogger::Instance();
  if (holder == nullptr) return;
  std::shared_ptr<spdlog::logger> logger = holder->logger();
  // Arguments are converted only for lines that are written.
  if (logger && logger->should_log(level)) {
    logger->log(spdlog::source_loc{}, level, format, log_detail::LogArg(args)...);
  }
}

#define RK_LOG_AT(name, level)                                                                         \
  template <typename... Args>                                                                          \
  void name(spdlog::format_string_t<log_detail::LogArgType<Args>...> format, const Args&... args) {   \
    RkLog(level, format, args...);                                                                     \
  }
RK_LOG_AT(RkLogTrace, spdlog::level::trace)
RK_LOG_AT(RkLogDebug, spdlog::level::debug)
RK_LOG_AT(RkLogInfo, spdlog::level::info)
RK_LOG_AT(RkLogWarn, spdlog::level::warn)
RK_LOG_AT(RkLogError, spdlog::level::err)
#undef RK_LOG_AT

}  // namespace rkservice

#endif  // RKSERVICE_SRC_RK_LOGGER_H_
