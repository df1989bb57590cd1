// Waiting in tests for a condition itself, never for a fixed time: a loaded
// machine or a sanitizer may make anything slow, so the bound is one that
// only a hang reaches.
#ifndef RKSERVICE_TESTS_RK_TEST_WAIT_H_
#define RKSERVICE_TESTS_RK_TEST_WAIT_H_

#include <chrono>
#include <thread>

namespace rktest {

constexpr std::chrono::seconds kHangBound{30};

// True once `condition()` holds; false when the bound passed first.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds bound = kHangBound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_TEST_WAIT_H_
