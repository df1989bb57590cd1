#include "bp_text.h"

namespace bootpack {
namespace {

// Units of source before its NUL, counting no further than `limit`.
size_t ScanLength(const wchar_t* source, size_t limit) {
  size_t n = 0;
  if (source == nullptr) return 0;
  while (n < limit && source[n] != 0) ++n;
  return n;
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
