// Owners for kernel handles and LocalAlloc blocks (no C runtime, so no
// standard smart pointers).
#pragma once

#include <windows.h>

namespace bootpack {

class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { Close(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  // CreateFileW fails with INVALID_HANDLE_VALUE, most other calls with null.
  bool IsValid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  HANDLE* Receive() {
    Close();
    return &handle_;
  }
  void Reset(HANDLE handle) {
    Close();
    handle_ = handle;
  }
  HANDLE Release() {
    HANDLE h = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return h;
  }
  void Close() {
    if (IsValid()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

template <typename T>
class ScopedLocal {
 public:
  ScopedLocal() = default;
  ~ScopedLocal() { Reset(); }
  ScopedLocal(const ScopedLocal&) = delete;
  ScopedLocal& operator=(const ScopedLocal&) = delete;

  T Get() const { return value_; }
  T* Receive() {
    Reset();
    return &value_;
  }
  T Release() {
    T v = value_;
    value_ = nullptr;
    return v;
  }
  void Reset() {
    if (value_ != nullptr) LocalFree(reinterpret_cast<HLOCAL>(value_));
    value_ = nullptr;
  }

 private:
  T value_ = nullptr;
};

}  // namespace bootpack
