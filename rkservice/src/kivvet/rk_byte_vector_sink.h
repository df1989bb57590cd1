// The byte sink the service hands the engine for answers of bytes: it appends
// to a vector the caller owns, usually a local of the route.
#ifndef RKSERVICE_SRC_KIVVET_RK_BYTE_VECTOR_SINK_H_
#define RKSERVICE_SRC_KIVVET_RK_BYTE_VECTOR_SINK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "kivvet/rk_kivvet_interface.h"

namespace rkservice {

class RkByteVectorSink final : public rkkivvet::RkByteSink {
 public:
  explicit RkByteVectorSink(std::vector<uint8_t>* bytes) : bytes_(bytes) {}
  ~RkByteVectorSink() = default;

  uint8_t* Grow(size_t n) override;

  std::string Text() const { return std::string(bytes_->begin(), bytes_->end()); }

 private:
  std::vector<uint8_t>* bytes_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_BYTE_VECTOR_SINK_H_
