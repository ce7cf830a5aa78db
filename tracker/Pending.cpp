#include "tracker/Pending.h"

#include <cstdio>
#include <cstdlib>

void Pending(const char* name) {
  std::fprintf(stderr, "%s is not built yet\n", name);
  std::abort();
}
