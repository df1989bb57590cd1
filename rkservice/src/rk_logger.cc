#include "rk_logger.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <cstdio>
#include <filesystem>
#include <mutex>

#include "platform/rk_platform.h"
#include "rkservice.h"

namespace rkservice {
namespace {

constexpr size_t kMaxLogFileBytes = 209715200;
constexpr size_t kRotatedFiles = 3;

// Released explicitly at unload (never by a static destructor of its own), so
// the release order stays in one place.
std::once_flag g_logger_once;
std::atomic<RkLogger*> g_logger{nullptr};

void ReportToHost(const std::string& text) {
  platform::DebugOutput(text);
  std::fputs(text.c_str(), stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

}  // namespace

// The loggers are kept out of spdlog's global registry: the host process may
// use the same shared spdlog with loggers of the same names.
RkLogger::RkLogger() {
  auto sink = std::make_shared<spdlog::sinks::stdout_color_sink_mt>(spdlog::color_mode::automatic);
  auto console = std::make_shared<spdlog::logger>("default", std::move(sink));
  console->set_level(spdlog::level::info);
  console->flush_on(spdlog::level::trace);
  std::atomic_store(&logger_, console);
  console->log(spdlog::source_loc{}, spdlog::level::info, "logger started");
}

RkLogger::~RkLogger() {
  std::shared_ptr<spdlog::logger> logger = std::atomic_exchange(&logger_, std::shared_ptr<spdlog::logger>());
  if (logger) logger->flush();
}

void RkLogger::CreateInstance() { delete g_logger.exchange(new RkLogger(), std::memory_order_acq_rel); }

RkLogger* RkLogger::Instance() {
  std::call_once(g_logger_once, &RkLogger::CreateInstance);
  return g_logger.load(std::memory_order_acquire);
}

void RkLogger::ReleaseInstance() { delete g_logger.exchange(nullptr, std::memory_order_acq_rel); }

bool RkLogger::Init(const std::string& file, int level) {
  if (file_started_) return false;
  level_.store(level, std::memory_order_relaxed);

  const std::filesystem::path path = std::filesystem::u8path(file);
  const std::filesystem::path folder = path.parent_path();
  std::error_code ec;
  if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      ReportToHost("can not create log dir");
      return false;
    }
  }

  std::shared_ptr<spdlog::logger> file_logger;
  try {
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(file, kMaxLogFileBytes, kRotatedFiles, false);
    file_logger = std::make_shared<spdlog::logger>("rkserivce", std::move(sink));
  } catch (const std::exception& e) {
    ReportToHost(e.what());
    return false;
  }

  file_logger->set_level(static_cast<spdlog::level::level_enum>(level));
  file_logger->set_pattern("[%Y%m%d %H:%M:%S.%e] [%5l] %v", spdlog::pattern_time_type::local);
  file_logger->flush_on(spdlog::level::warn);
  std::atomic_store(&logger_, file_logger);
  file_started_ = true;
  return true;
}

int RkLogLevelNow() {
  RkLogger* holder = RkLogger::Instance();
  return holder != nullptr ? holder->GetLevel() : kRkLogInfo;
}

}  // namespace rkservice
