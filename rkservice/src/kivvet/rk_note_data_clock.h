// The local date that decides whether get_notedata still asks the engine for
// missing content (not from August 2024 on), and the pause between its
// checks. Tests put their own date and an instant pause in.
#ifndef RKSERVICE_SRC_KIVVET_RK_NOTE_DATA_CLOCK_H_
#define RKSERVICE_SRC_KIVVET_RK_NOTE_DATA_CLOCK_H_

#include <chrono>
#include <ctime>
#include <functional>

namespace rkservice {

class RkNoteDataClock {
 public:
  using LocalDate = std::function<std::tm()>;
  using Pause = std::function<void(std::chrono::milliseconds)>;

  // The current time broken down in local time.
  static std::tm LocalNow();
  static void Sleep(std::chrono::milliseconds duration);

  // August 2024 or any later month.
  static bool IsPastDownloadCutoff(const std::tm& date);

#ifdef RKSERVICE_TEST_HOOKS
  // Empty functions put the real ones back.
  static void SetForTesting(LocalDate date, Pause pause);
#endif
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_NOTE_DATA_CLOCK_H_
