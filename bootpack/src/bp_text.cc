#include "bp_text.h"

#include <windows.h>

namespace bootpack {
namespace {

// Units of source before its NUL, counting no further than `limit`.
template <typename Char>
size_t ScanLength(const Char* source, size_t limit) {
  size_t n = 0;
  if (source == nullptr) return 0;
  while (n < limit && source[n] != 0) ++n;
  return n;
}

// A zeroed process-heap block; null for no bytes or 4 GiB and more.
void* AllocZeroed(uint64_t size) {
  if (size == 0 || size >= 0x100000000ULL) return nullptr;
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(size));
}

}  // namespace

size_t BoundedLength(const wchar_t* text, size_t capacity) {
  if (text == nullptr || capacity < 2) return 0;
  return ScanLength(text, capacity - 1);
}

bool BoundedCopy(wchar_t* destination, size_t capacity, const wchar_t* source) {
  if (destination == nullptr || capacity == 0) return false;
  const size_t n = ScanLength(source, capacity);
  if (n >= capacity) {
    destination[0] = 0;
    return false;
  }
  for (size_t i = 0; i < n; ++i) destination[i] = source[i];
  destination[n] = 0;
  return true;
}

bool BoundedAppendUnits(wchar_t* destination, size_t capacity,
                        const wchar_t* source, size_t count) {
  if (destination == nullptr || capacity == 0) return false;
  const size_t current = ScanLength(destination, capacity);
  if (current >= capacity) return false;  // unterminated destination
  const size_t room = capacity - current;  // units left, NUL included
  size_t n = ScanLength(source, count < room ? count : room);
  if (n >= room) return false;
  for (size_t i = 0; i < n; ++i) destination[current + i] = source[i];
  destination[current + n] = 0;
  return true;
}

bool BoundedAppend(wchar_t* destination, size_t capacity, const wchar_t* source) {
  return BoundedAppendUnits(destination, capacity, source, static_cast<size_t>(-1));
}

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
  if (text == nullptr || prefix == nullptr) return false;
  for (size_t i = 0; prefix[i] != 0; ++i) {
    if (FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
  }
  return true;
}

bool EqualsNoCase(const wchar_t* a, const wchar_t* b) {
  if (a == nullptr || b == nullptr) return false;
  size_t i = 0;
  for (; a[i] != 0 && b[i] != 0; ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return a[i] == b[i];
}

const wchar_t* FindNoCase(const wchar_t* haystack, const wchar_t* needle) {
  if (haystack == nullptr) return nullptr;
  if (needle == nullptr || needle[0] == 0) return haystack;
  for (const wchar_t* p = haystack; *p != 0; ++p) {
    if (StartsWithNoCase(p, needle)) return p;
  }
  return nullptr;
}

char* WideToUtf8(const wchar_t* text, int count, char* out, size_t capacity) {
  if (out != nullptr && capacity != 0) out[0] = 0;
  if (text == nullptr || (out != nullptr && capacity == 0)) return nullptr;
  const size_t units =
      count < 0 ? ScanLength(text, static_cast<size_t>(-1)) : static_cast<size_t>(count);
  if (units > 0x7FFFFFFF) return nullptr;
  int bytes = 0;
  if (units != 0) {
    bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), nullptr, 0, nullptr,
                                nullptr);
    if (bytes <= 0) return nullptr;
  }
  const uint64_t need = static_cast<uint64_t>(bytes) + 1;
  char* target = out;
  if (target == nullptr) {
    target = static_cast<char*>(AllocZeroed(need));
    if (target == nullptr) return nullptr;
  } else if (need > capacity) {
    return nullptr;
  }
  if (bytes != 0 && WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), target, bytes,
                                        nullptr, nullptr) != bytes) {
    if (out == nullptr) HeapFree(GetProcessHeap(), 0, target);
    else out[0] = 0;
    return nullptr;
  }
  target[bytes] = 0;
  return target;
}

wchar_t* Utf8ToWide(const char* text, int count, wchar_t* out, size_t capacity) {
  if (out != nullptr && capacity != 0) out[0] = 0;
  if (text == nullptr || (out != nullptr && capacity == 0)) return nullptr;
  const size_t length =
      count < 0 ? ScanLength(text, static_cast<size_t>(-1)) : static_cast<size_t>(count);
  if (length > 0x7FFFFFFF) return nullptr;
  int units = 0;
  if (length != 0) {
    units = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0);
    if (units <= 0) return nullptr;
  }
  const uint64_t need = static_cast<uint64_t>(units) + 1;
  wchar_t* target = out;
  if (target == nullptr) {
    target = static_cast<wchar_t*>(AllocZeroed(need * sizeof(wchar_t)));
    if (target == nullptr) return nullptr;
  } else if (need > capacity) {
    return nullptr;
  }
  if (units != 0 &&
      MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), target, units) != units) {
    if (out == nullptr) HeapFree(GetProcessHeap(), 0, target);
    else out[0] = 0;
    return nullptr;
  }
  target[units] = 0;
  return target;
}

void FillBytes(void* destination, uint8_t value, size_t count) {
  volatile uint8_t* d = static_cast<uint8_t*>(destination);
  for (size_t i = 0; i < count; ++i) d[i] = value;
}

void CopyBytes(void* destination, const void* source, size_t count) {
  uint8_t* d = static_cast<uint8_t*>(destination);
  const uint8_t* s = static_cast<const uint8_t*>(source);
  for (size_t i = 0; i < count; ++i) d[i] = s[i];
}

}  // namespace bootpack
