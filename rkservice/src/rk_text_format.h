// Lets UTF-16 text be passed straight to the log calls: it is written as UTF-8.
#ifndef RKSERVICE_SRC_RK_TEXT_FORMAT_H_
#define RKSERVICE_SRC_RK_TEXT_FORMAT_H_

#include <fmt/format.h>

#include <string>

#include "rk_utils.h"

template <>
struct fmt::formatter<std::u16string> : fmt::formatter<fmt::string_view> {
  template <typename FormatContext>
  auto format(const std::u16string& text, FormatContext& ctx) const -> decltype(ctx.out()) {
    const std::string utf8 = rkservice::WideToUtf8(text);
    return fmt::formatter<fmt::string_view>::format(fmt::string_view(utf8), ctx);
  }
};

#endif  // RKSERVICE_SRC_RK_TEXT_FORMAT_H_
