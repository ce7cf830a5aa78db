// Writes the demo sequence of `make run` into a folder.
#include <cstdio>
#include <cstdlib>

#include "common/app/DemoSequence.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <folder> [frames]\n", argv[0]);
    return 2;
  }
  const int frames = argc > 2 ? std::atoi(argv[2]) : 200;
  if (frames < 1 || !WriteDemoSequence(argv[1], static_cast<u32>(frames))) return 1;
  std::printf("Wrote %d frames to '%s'\n", frames, argv[1]);
  return 0;
}
