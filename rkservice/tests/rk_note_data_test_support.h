// What the tests of the note data route share: the answers for a note whose
// content file is missing, and the days the route's clock is set to.
#ifndef RKSERVICE_TESTS_RK_NOTE_DATA_TEST_SUPPORT_H_
#define RKSERVICE_TESTS_RK_NOTE_DATA_TEST_SUPPORT_H_

#include <ctime>

namespace rktest {

constexpr char kDownloadFailed[] = "{\"code\" : 2, \"msg\" :\"note download faild\"}";
constexpr char kNotDownloaded[] = "{\"code\" : 1, \"msg\" :\"note not download\"}";

// Noon of a local day, away from any change of the clock.
inline std::tm Date(int year, int month, int day) {
  std::tm date = {};
  date.tm_year = year - 1900;
  date.tm_mon = month - 1;
  date.tm_mday = day;
  date.tm_hour = 12;
  return date;
}

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_NOTE_DATA_TEST_SUPPORT_H_
