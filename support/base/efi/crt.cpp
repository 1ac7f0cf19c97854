// Routines the compiler may emit calls to (block copies and clears); the
// firmware image links no C library, so it carries its own.
#include <stddef.h>

extern "C" {

void* memset(void* destination, int value, size_t count) {
  void* d = destination;
  __asm__ __volatile__("rep stosb" : "+D"(d), "+c"(count) : "a"(value) : "memory");
  return destination;
}

void* memcpy(void* destination, const void* source, size_t count) {
  void* d = destination;
  __asm__ __volatile__("rep movsb" : "+D"(d), "+S"(source), "+c"(count) : : "memory");
  return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
  unsigned char* d = static_cast<unsigned char*>(destination);
  const unsigned char* s = static_cast<const unsigned char*>(source);
  if (d <= s || d >= s + count) {
    return memcpy(destination, source, count);
  }
  // Overlapping with the destination above the source: copy backwards.
  d += count - 1;
  s += count - 1;
  __asm__ __volatile__("std\n\trep movsb\n\tcld" : "+D"(d), "+S"(s), "+c"(count) : : "memory");
  return destination;
}

int memcmp(const void* a, const void* b, size_t count) {
  const unsigned char* x = static_cast<const unsigned char*>(a);
  const unsigned char* y = static_cast<const unsigned char*>(b);
  for (size_t i = 0; i < count; i++) {
    if (x[i] != y[i]) {
      return x[i] - y[i];
    }
  }
  return 0;
}
}
