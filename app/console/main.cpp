// The console program: one configuration file in, the engine run over it.
#include <cstdio>

#include "app/Application.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <configuration file>\n", argv[0]);
    return 2;
  }
  Application application(argv[1]);
  if (!application.Ready()) return application.ExitCode();
  return application.Run();
}
