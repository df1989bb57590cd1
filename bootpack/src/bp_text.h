// Bounded UTF-16 text helpers, UTF-8 conversion and byte loops. The
// installer links no C runtime, so these are the only string primitives it
// has; every text buffer is a fixed array filled through BoundedCopy and
// BoundedAppend.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace bootpack {

// Capacities count the terminating NUL.
constexpr size_t kPathCapacity = 260;
constexpr size_t kPlugListCapacity = 300;
constexpr size_t kCommandLineCapacity = 1040;
constexpr size_t kSecurityTextCapacity = 300;

using PathBuffer = wchar_t[kPathCapacity];
using PlugListBuffer = wchar_t[kPlugListCapacity];
using CommandLineBuffer = wchar_t[kCommandLineCapacity];

// Units before the first NUL, at most capacity - 1; 0 for no text or a
// capacity below 2.
size_t BoundedLength(const wchar_t* text, size_t capacity);

// Copies source and its NUL. Fails when the source has capacity units or
// more and then leaves the destination empty. No source copies as empty.
bool BoundedCopy(wchar_t* destination, size_t capacity, const wchar_t* source);

// Appends source after the current text. Fails when the result would not fit
// and then leaves the destination as it was.
bool BoundedAppend(wchar_t* destination, size_t capacity, const wchar_t* source);

// Appends at most `count` units of source (stopping early at a NUL), with the
// same all-or-nothing rule as BoundedAppend.
bool BoundedAppendUnits(wchar_t* destination, size_t capacity,
                        const wchar_t* source, size_t count);

template <size_t N>
bool BoundedCopy(wchar_t (&destination)[N], const wchar_t* source) {
  return BoundedCopy(destination, N, source);
}
template <size_t N>
bool BoundedAppend(wchar_t (&destination)[N], const wchar_t* source) {
  return BoundedAppend(destination, N, source);
}
template <size_t N>
size_t BoundedLength(const wchar_t (&text)[N]) {
  return BoundedLength(text, N);
}

// ASCII-only case folding: 'A'-'Z' to 'a'-'z', nothing else.
inline wchar_t FoldAscii(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// False for no text or no prefix; true for an empty prefix.
bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix);

// Whole-text comparison with ASCII folding; false when either is absent.
bool EqualsNoCase(const wchar_t* a, const wchar_t* b);

// First case-folded occurrence of needle in haystack, or null. An absent or
// empty needle matches at the start of the haystack (even an empty one);
// otherwise an empty haystack finds nothing. No haystack finds nothing.
const wchar_t* FindNoCase(const wchar_t* haystack, const wchar_t* needle);

// UTF-16 <-> UTF-8 with the system converters. `count` is the number of
// source units, or -1 for the text up to its NUL; a NUL is written after the
// converted text. With an output buffer the result and its NUL must fit
// `capacity` (a failure leaves the buffer empty); with none, a zeroed
// process-heap block is returned that the caller releases with HeapFree.
// Null on failure.
char* WideToUtf8(const wchar_t* text, int count, char* out, size_t capacity);
wchar_t* Utf8ToWide(const char* text, int count, wchar_t* out, size_t capacity);

void FillBytes(void* destination, uint8_t value, size_t count);
void CopyBytes(void* destination, const void* source, size_t count);

}  // namespace bootpack
