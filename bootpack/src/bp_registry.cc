#include "bp_registry.h"

namespace bootpack {

LONG QueryRegistryString(HKEY key, const wchar_t* value_name, wchar_t* buffer,
                         size_t capacity) {
  if (buffer == nullptr || capacity == 0 || capacity > 0x7FFFFFFF / sizeof(wchar_t)) {
    return ERROR_INVALID_PARAMETER;
  }
  DWORD type = REG_NONE;
  DWORD bytes = static_cast<DWORD>(capacity * sizeof(wchar_t));
  LONG error = RegQueryValueExW(key, value_name, nullptr, &type,
                                reinterpret_cast<BYTE*>(buffer), &bytes);
  if (error == ERROR_SUCCESS && type != REG_SZ) error = ERROR_NOT_SUPPORTED;
  if (error != ERROR_SUCCESS) {
    buffer[0] = 0;
    return error;
  }
  // An odd trailing byte is not part of any unit.
  const size_t units = bytes / sizeof(wchar_t);
  if (units == 0) {
    buffer[0] = 0;
  } else if (buffer[units - 1] != 0) {
    if (units >= capacity) {
      buffer[0] = 0;
      return ERROR_MORE_DATA;
    }
    buffer[units] = 0;
  }
  return ERROR_SUCCESS;
}

bool ReadRegistryString(HKEY root, const wchar_t* sub_key, const wchar_t* value_name,
                        wchar_t* buffer, size_t capacity) {
  RegKey key;
  if (key.Open(root, sub_key, KEY_QUERY_VALUE) != ERROR_SUCCESS) {
    if (buffer != nullptr && capacity != 0) buffer[0] = 0;
    return false;
  }
  return key.ReadString(value_name, buffer, capacity) == ERROR_SUCCESS;
}

LONG RegKey::Open(HKEY root, const wchar_t* sub_key, REGSAM access) {
  Close();
  HKEY key = nullptr;
  LONG error = RegOpenKeyExW(root, sub_key, 0, access, &key);
  if (error == ERROR_SUCCESS) key_ = key;
  return error;
}

void RegKey::Close() {
  if (key_ != nullptr) RegCloseKey(key_);
  key_ = nullptr;
}

}  // namespace bootpack
