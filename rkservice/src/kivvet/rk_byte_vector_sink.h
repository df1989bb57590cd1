// The byte sink the service hands the engine for answers of bytes: it appends
// to a vector the caller owns, usually a local of the route.
#ifndef RKSERVICE_SRC_KIVVET_RK_BYTE_VECTOR_SINK_H_
#define RKSERVICE_SRC_KIVVET_RK_BYTE_VECTOR_SINK_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kivvet/rk_kivvet_interface.h"

namespace rkservice {

class RkByteVectorSink final : public rkkivvet::RkByteSink {
 public:
  explicit RkByteVectorSink(std::vector<uint8_t>* bytes) : bytes_(bytes) {}
  ~RkByteVectorSink() = default;

  uint8_t* Grow(size_t n) override;

  std::string Text() const { return std::string(bytes_->begin(), bytes_->end()); }
  // The bytes as they are, without a copy; valid until the next Grow.
  std::string_view View() const {
    return std::string_view(reinterpret_cast<const char*>(bytes_->data()), bytes_->size());
  }

 private:
  std::vector<uint8_t>* bytes_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_BYTE_VECTOR_SINK_H_
