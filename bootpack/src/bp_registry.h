// Registry strings read into bounded buffers.
#pragma once

#include <windows.h>

#include <stddef.h>

namespace bootpack {

// Reads a REG_SZ value of an open key into `buffer` (capacity in units) and
// returns the registry error: ERROR_NOT_SUPPORTED for another type,
// ERROR_MORE_DATA when it does not fit. A value whose last unit is NUL is used
// as stored, an unterminated one is terminated when that leaves room, fewer
// than 2 bytes read as the empty text, and an odd byte count drops its last
// byte. On any error the buffer is left empty.
LONG QueryRegistryString(HKEY key, const wchar_t* value_name, wchar_t* buffer,
                         size_t capacity);

// Opens root\sub_key for KEY_QUERY_VALUE in the native view and reads one
// value with the rules above; true only when it was read.
bool ReadRegistryString(HKEY root, const wchar_t* sub_key, const wchar_t* value_name,
                        wchar_t* buffer, size_t capacity);

// An open registry key, closed when it goes.
class RegKey {
 public:
  RegKey() = default;
  ~RegKey() { Close(); }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // Closes any key held, then opens root\sub_key; returns the registry error.
  LONG Open(HKEY root, const wchar_t* sub_key, REGSAM access);
  LONG ReadString(const wchar_t* value_name, wchar_t* buffer, size_t capacity) const {
    if (key_ == nullptr) return ERROR_INVALID_HANDLE;
    return QueryRegistryString(key_, value_name, buffer, capacity);
  }
  void Close();
  bool IsOpen() const { return key_ != nullptr; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace bootpack
