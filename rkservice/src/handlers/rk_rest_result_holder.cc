#include "handlers/rk_rest_result_holder.h"

#include <new>

#include "rk_logger.h"

namespace rkservice {

void RkRestResultHolder::SetResult(const char* data, int32_t length) {
  if (length < 0 || (data == nullptr && length > 0)) {
    RkLogError("SetResult ignored: length {0} with {1} data", length, data == nullptr ? "no" : "some");
    return;
  }
  if (length > kMaxRestResultBytes) {
    RkLogError("SetResult refused: {0} bytes, more than {1}", length, kMaxRestResultBytes);
    return;
  }
  // Called from the library: nothing may be thrown back into it.
  try {
    if (length == 0) {
      text_.clear();
    } else {
      text_.assign(data, static_cast<size_t>(length));
    }
  } catch (const std::bad_alloc&) {
    RkLogError("SetResult refused: no memory for {0} bytes", length);
  }
}

}  // namespace rkservice
