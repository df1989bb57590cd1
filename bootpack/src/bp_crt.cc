// The few C runtime symbols the compiler may emit calls to on its own (block
// fills and copies for large initialisers and assignments). Linked only into
// the freestanding programs; test programs get them from the real runtime.
#include <stddef.h>

extern "C" {

void* memset(void* destination, int value, size_t count) {
  unsigned char* d = static_cast<unsigned char*>(destination);
  for (size_t i = 0; i < count; ++i) d[i] = static_cast<unsigned char>(value);
  return destination;
}

void* memcpy(void* destination, const void* source, size_t count) {
  unsigned char* d = static_cast<unsigned char*>(destination);
  const unsigned char* s = static_cast<const unsigned char*>(source);
  for (size_t i = 0; i < count; ++i) d[i] = s[i];
  return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
  unsigned char* d = static_cast<unsigned char*>(destination);
  const unsigned char* s = static_cast<const unsigned char*>(source);
  if (d < s) {
    for (size_t i = 0; i < count; ++i) d[i] = s[i];
  } else {
    for (size_t i = count; i > 0; --i) d[i - 1] = s[i - 1];
  }
  return destination;
}

}  // extern "C"
