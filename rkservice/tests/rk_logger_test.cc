#include "rk_logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "rk_test_wait.h"

namespace rkservice {
namespace {

namespace fs = std::filesystem;

class Logger : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) / ("rk_logger_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Read(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path dir_;
};

TEST_F(Logger, ConsoleAtInfoUntilTheFileStarts) {
  testing::internal::CaptureStdout();
  RkLogInfo("hello {0} {1}", 1, std::string("two"));
  RkLogDebug("hidden {0}", 3);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("logger started"), std::string::npos) << out;
  EXPECT_NE(out.find("hello 1 two"), std::string::npos) << out;
  EXPECT_EQ(out.find("hidden"), std::string::npos) << out;
  EXPECT_EQ(RkLogger::Instance()->GetLevel(), 2);
}

TEST_F(Logger, FileAtTheChosenLevelFlushedFromWarningUp) {
  const fs::path file = dir_ / "made" / "on" / "demand" / "rkservice.log";
  ASSERT_TRUE(RkLogger::Instance()->Init(file.string(), 3));
  EXPECT_EQ(RkLogger::Instance()->GetLevel(), 3);
  RkLogInfo("below the level");
  RkLogWarn("warned {0}", std::u16string(u"caf\u00E9 \u4E2D"));
  // No flush here: warning lines reach the file at once.
  const std::string text = Read(file);
  EXPECT_EQ(text.find("below the level"), std::string::npos);
  ASSERT_NE(text.find("] [warning] warned caf\xC3\xA9 \xE4\xB8\xAD\n"), std::string::npos) << text;
  // "[YYYYmmdd HH:MM:SS.mmm] [level] text"
  EXPECT_EQ(text[0], '[');
  EXPECT_EQ(text.find("] ["), 22u) << text;

  // Once started, the file logger stays: a second start changes nothing.
  EXPECT_FALSE(RkLogger::Instance()->Init((dir_ / "other.log").string(), 0));
  EXPECT_EQ(RkLogger::Instance()->GetLevel(), 3);
  RkLogError("still here");
  EXPECT_NE(Read(file).find("[error] still here"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir_ / "other.log"));
}

// Arguments carry request text: the line holds U+FFFD for what is not UTF-8.
TEST_F(Logger, LinesAreWellFormedUtf8) {
  const fs::path file = dir_ / "rkservice.log";
  ASSERT_TRUE(RkLogger::Instance()->Init(file.string(), 0));
  const std::string bytes = "a\xFF" "b\xC3";
  RkLogWarn("bad {0} {1} {2}", bytes, bytes.c_str(), std::string_view(bytes));
  RkLogWarn("good {0}", std::string("caf\xC3\xA9"));
  const std::string text = Read(file);
  EXPECT_NE(text.find("] [warning] bad a\xEF\xBF\xBD" "b\xEF\xBF\xBD a\xEF\xBF\xBD" "b\xEF\xBF\xBD a\xEF\xBF\xBD"
                      "b\xEF\xBF\xBD\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("] [warning] good caf\xC3\xA9\n"), std::string::npos) << text;
}

TEST_F(Logger, UnopenableFileKeepsTheConsoleAndAllowsAnotherTry) {
  fs::create_directories(dir_ / "a-folder");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(RkLogger::Instance()->Init((dir_ / "a-folder").string(), 4));
  RkLogInfo("to the console");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("a-folder"), std::string::npos) << out;  // the failure's text
  EXPECT_NE(out.find("to the console"), std::string::npos) << out;
  EXPECT_EQ(RkLogger::Instance()->GetLevel(), 4);

  std::ofstream(dir_ / "blocker") << "x";
  testing::internal::CaptureStdout();
  EXPECT_FALSE(RkLogger::Instance()->Init((dir_ / "blocker" / "log.txt").string(), 4));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("can not create log dir"), std::string::npos);

  EXPECT_TRUE(RkLogger::Instance()->Init((dir_ / "good.log").string(), 0));
}

TEST_F(Logger, LoggingGoesOnWhileTheFileLoggerReplacesTheConsole) {
  constexpr long kWriters = 4;
  std::atomic<bool> stop{false};
  std::atomic<long> written{0};
  std::vector<std::thread> writers;
  testing::internal::CaptureStdout();
  for (long i = 0; i < kWriters; ++i) {
    writers.emplace_back([&stop, &written, i] {
      while (!stop) {
        RkLogInfo("writer {0}", i);
        ++written;
      }
    });
  }
  // The swap comes while the writers are logging. Afterwards each writer may
  // still end one line begun on the console; more than that many lines means
  // some went to the file.
  const bool logging = rktest::WaitUntil([&] { return written >= 10 * kWriters; });
  const bool swapped = RkLogger::Instance()->Init((dir_ / "swap.log").string(), 2);
  const long at_swap = written;
  const bool went_on = rktest::WaitUntil([&] { return written > at_swap + 10 * kWriters; });
  stop = true;
  for (auto& t : writers) t.join();
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(logging);
  ASSERT_TRUE(swapped);
  ASSERT_TRUE(went_on);
  RkLogger::Instance()->logger()->flush();
  EXPECT_NE(Read(dir_ / "swap.log").find("[ info] writer "), std::string::npos);
}

TEST_F(Logger, NothingIsWrittenAfterRelease) {
  const fs::path file = dir_ / "late.log";
  ASSERT_TRUE(RkLogger::Instance()->Init(file.string(), 0));
  RkLogError("before");
  RkLogger::ReleaseInstance();
  EXPECT_EQ(RkLogger::Instance(), nullptr);
  RkLogError("after");
  const std::string text = Read(file);
  EXPECT_NE(text.find("before"), std::string::npos);
  EXPECT_EQ(text.find("after"), std::string::npos);
}

}  // namespace
}  // namespace rkservice
