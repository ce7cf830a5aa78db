#pragma once
// Counts the heap allocations of the measured code while `counting` is set:
// replaces the global allocator and posix_memalign (where the engine's
// aligned arrays take their storage, past operator new). Include it in
// exactly one source of a benchmark program.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace bench {

inline std::atomic<long> allocations{0};
inline bool counting = false;  // only the measured calls count

}  // namespace bench

// The operators pair with each other, which the compiler cannot see through
// the inlined library code.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
  if (bench::counting) bench::allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
extern "C" void* __libc_memalign(size_t alignment, size_t n);
extern "C" int posix_memalign(void** p, size_t alignment, size_t n) {
  if (bench::counting) bench::allocations.fetch_add(1, std::memory_order_relaxed);
  *p = __libc_memalign(alignment, n);
  return *p != nullptr ? 0 : ENOMEM;
}
