#pragma once
// What a test needs to know of the sanitizer build it runs in.
//
// ZEVRION_ASAN_BUILD / ZEVRION_TSAN_BUILD: GCC names the sanitizers with
// __SANITIZE_ADDRESS__ and __SANITIZE_THREAD__, clang only through
// __has_feature.
//
// ShortTestRun(): long tests (CTest label "long", see tests/CMakeLists.txt)
// shrink their input when ZEVRION_SHORT_TESTS is set to anything but 0, as
// the sanitizer runs of the Makefile do: the code paths are the same, the
// frames fewer.
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define ZEVRION_ASAN_BUILD 1
#endif
#if defined(__SANITIZE_THREAD__)
#define ZEVRION_TSAN_BUILD 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(ZEVRION_ASAN_BUILD)
#define ZEVRION_ASAN_BUILD 1
#endif
#if __has_feature(thread_sanitizer) && !defined(ZEVRION_TSAN_BUILD)
#define ZEVRION_TSAN_BUILD 1
#endif
#endif

inline bool ShortTestRun() {
  const char* value = std::getenv("ZEVRION_SHORT_TESTS");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

// `full` normally, `reduced` in a short run.
template <class T>
T LongTestSize(T full, T reduced) {
  return ShortTestRun() ? reduced : full;
}
