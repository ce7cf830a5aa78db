#include "la/AlignedMemory.h"

#include <cstdio>
#include <cstdlib>
#include <new>

void* AlignedMalloc(std::size_t bytes) {
  void* p = nullptr;
  if (posix_memalign(&p, 32, bytes == 0 ? 1 : bytes) != 0) {
    std::fprintf(stderr, "AlignedMalloc: out of memory (%zu bytes)\n", bytes);
    throw std::bad_alloc();
  }
  return p;
}

void AlignedFree(void* p) {
  std::free(p);
}
