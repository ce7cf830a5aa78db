// Measures a run against the truth: zevrion_accuracy <poses.txt> <truth.txt>
// [frame], both in the pose-file layout; with a frame, also the map's scale
// from that frame on over the scale before it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/AccuracyEvaluator.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s <poses.txt> <truth.txt> [frame]\n", argv[0]);
    return 2;
  }
  int jumpFrame = -1;
  if (argc == 4) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(argv[3], &end, 10);
    if (end == argv[3] || *end != '\0' || errno == ERANGE || v < 0 || v > 0x7fffffff) {
      std::fprintf(stderr, "The frame must be a whole number from 0 on, not '%s'\n", argv[3]);
      return 2;
    }
    jumpFrame = static_cast<int>(v);
  }
  PoseFileContents estimate, truth;
  std::string error;
  if (!ReadPoseFile(argv[1], estimate, &error) || !ReadPoseFile(argv[2], truth, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  if (truth.centres.empty()) {
    std::fprintf(stderr, "'%s' holds no pose\n", argv[2]);
    return 1;
  }
  const AccuracyReport report = EvaluateAccuracy(estimate.centres, truth.centres, jumpFrame);
  std::fputs(FormatAccuracy(report).c_str(), stdout);
  return 0;
}
