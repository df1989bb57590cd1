#include "kivvet/rk_byte_vector_sink.h"

namespace rkservice {

uint8_t* RkByteVectorSink::Grow(size_t n) {
  // Nothing may be thrown into the engine's frames.
  try {
    const size_t old_size = bytes_->size();
    bytes_->resize(old_size + n);
    if (bytes_->data() == nullptr) {
      // An empty vector has no storage; 0 bytes still need a pointer.
      static uint8_t nothing;
      return &nothing;
    }
    return bytes_->data() + old_size;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace rkservice
