// The service log of a test, as the logger has written it so far.
#ifndef RKSERVICE_TESTS_RK_TEST_LOG_H_
#define RKSERVICE_TESTS_RK_TEST_LOG_H_

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "rk_logger.h"

namespace rktest {

// Flushes the logger first: what it holds back would be missing otherwise.
inline std::string FlushedLog(const std::filesystem::path& file) {
  rkservice::RkLogger::Instance()->logger()->flush();
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_TEST_LOG_H_
