#include "kivvet/rk_note_data_clock.h"

#include <mutex>
#include <thread>
#include <utility>

namespace rkservice {
namespace {

std::mutex g_lock;
RkNoteDataClock::LocalDate g_date;
RkNoteDataClock::Pause g_pause;

}  // namespace

std::tm RkNoteDataClock::LocalNow() {
  {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_date) return g_date();
  }
  const std::time_t now = std::time(nullptr);
  std::tm local = {};
  localtime_r(&now, &local);
  return local;
}

void RkNoteDataClock::Sleep(std::chrono::milliseconds duration) {
  Pause pause;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    pause = g_pause;
  }
  if (pause) {
    pause(duration);
  } else {
    std::this_thread::sleep_for(duration);
  }
}

bool RkNoteDataClock::IsPastDownloadCutoff(const std::tm& date) {
  const int year = date.tm_year + 1900;
  // tm_mon counts from 0: August is 7.
  return year > 2024 || (year == 2024 && date.tm_mon >= 7);
}

#ifdef RKSERVICE_TEST_HOOKS
void RkNoteDataClock::SetForTesting(LocalDate date, Pause pause) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_date = std::move(date);
  g_pause = std::move(pause);
}
#endif

}  // namespace rkservice
