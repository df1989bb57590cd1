// Read-only window over untrusted bytes (resources, image sections). Every
// read checks offset and length against the window before touching memory.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace bootpack {

class ByteView {
 public:
  ByteView() = default;
  ByteView(const void* data, uint32_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(data ? size : 0) {}

  const uint8_t* data() const { return data_; }
  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // True when [offset, offset + length) lies inside the window.
  bool Contains(uint32_t offset, uint32_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  bool ReadU16(uint32_t offset, uint16_t* value) const {
    if (!Contains(offset, 2)) return false;
    *value = static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
    return true;
  }
  bool ReadU32(uint32_t offset, uint32_t* value) const {
    if (!Contains(offset, 4)) return false;
    *value = static_cast<uint32_t>(data_[offset]) |
             (static_cast<uint32_t>(data_[offset + 1]) << 8) |
             (static_cast<uint32_t>(data_[offset + 2]) << 16) |
             (static_cast<uint32_t>(data_[offset + 3]) << 24);
    return true;
  }
  // The sub-window, or an empty view when it does not fit.
  ByteView Slice(uint32_t offset, uint32_t length) const {
    if (!Contains(offset, length)) return ByteView();
    return ByteView(data_ + offset, length);
  }

 private:
  const uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
};

}  // namespace bootpack
