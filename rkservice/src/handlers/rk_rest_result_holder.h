// The result object the account and updater handlers hand to every call of
// the browser's main library: it keeps the last text the call set.
#ifndef RKSERVICE_SRC_HANDLERS_RK_REST_RESULT_HOLDER_H_
#define RKSERVICE_SRC_HANDLERS_RK_REST_RESULT_HOLDER_H_

#include <cstdint>
#include <string>

#include "halvex/rk_halvex_interface.h"

namespace rkservice {

// Larger results are refused: a reply that size is no answer to a form.
inline constexpr int32_t kMaxRestResultBytes = 64 << 20;

class RkRestResultHolder final : public rkhalvex::RkRestResult {
 public:
  // A negative length, a null pointer with a length, or a length above
  // kMaxRestResultBytes is logged and leaves the held text as it was.
  void SetResult(const char* data, int32_t length) override;

  // The held bytes, as the library set them (not checked for UTF-8).
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_REST_RESULT_HOLDER_H_
