// What the test process holds in memory, for tests that bound what a request
// may make the service keep.
#ifndef RKSERVICE_TESTS_RK_TEST_MEMORY_H_
#define RKSERVICE_TESTS_RK_TEST_MEMORY_H_

#include <cstddef>
#include <fstream>
#include <string>

namespace rktest {

// The process's resident size now, in bytes (0 when it cannot be read).
inline size_t ResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_TEST_MEMORY_H_
