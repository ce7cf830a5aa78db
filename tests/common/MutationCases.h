#pragma once
// Mutation tests run a fixed number of seeded cases; "--cases=N" on the test's
// command line asks for a longer run (read from /proc, since the shared test
// main does not pass its arguments on).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "la/Random.h"
#include "la/Types.h"

inline u32 MutationCases(u32 defaultCases = 10000) {
  FILE* f = std::fopen("/proc/self/cmdline", "rb");
  if (!f) return defaultCases;
  std::string args;
  for (int c; (c = std::fgetc(f)) != EOF;) args.push_back(static_cast<char>(c));
  std::fclose(f);
  const std::size_t at = args.find(std::string("\0--cases=", 9));
  return at == std::string::npos
             ? defaultCases
             : static_cast<u32>(std::strtoul(args.c_str() + at + 9, nullptr, 10));
}

// One seeded change of a valid file: a flipped byte, a cut, or 1-8 inserted
// random bytes.
inline void Mutate(std::string& bytes) {
  const u32 n = static_cast<u32>(bytes.size());
  switch (Random::Index(3)) {
    case 0:
      if (n > 0) bytes[Random::Index(n)] ^= static_cast<char>(1 + Random::Index(255));
      break;
    case 1:
      bytes.resize(Random::Index(n));
      break;
    default: {
      std::string inserted(1 + Random::Index(8), '\0');
      for (char& c : inserted) c = static_cast<char>(Random::Index(256));
      bytes.insert(Random::Index(n + 1), inserted);
      break;
    }
  }
}
