#pragma once
// One run of the console engine over a configuration, in-process as the
// program runs it (Application with its workers), with what a test asks of
// it: the printed lines, the frame of the map's second key frame and the
// accuracy of the pose file against the truth.
#include <string>

#include "common/AccuracyEvaluator.h"
#include "common/app/SequenceWriter.h"

struct ConsoleRun {
  bool ready = false;
  int exitCode = -1;
  std::string printed;      // standard output of the run
  int secondKeyFrame = -1;  // frame number of the map's key frame 1, -1 without
  PoseFileContents poses;
  AccuracyReport report;    // with the jump at the second key frame when there is one
  double runSeconds = 0.0;  // the frame loop, start to end
  double msPerFrame = 0.0;  // the tracker's mean time per frame
};

// Standard output sent to a file (or /dev/null) while alive: the engine
// prints a line per frame.
class RedirectedOutput {
 public:
  explicit RedirectedOutput(const std::string& path);
  ~RedirectedOutput();
  RedirectedOutput(const RedirectedOutput&) = delete;
  RedirectedOutput& operator=(const RedirectedOutput&) = delete;

 private:
  int saved_ = -1;
};

// Runs `config`, then reads `poses` and compares it with `truth`. The inertial
// parameters the run adjusted are back at their defaults afterwards.
ConsoleRun RunConsole(const std::string& config, const std::string& poses,
                      const std::string& truth);

// Writes `name`.txt beside the folder's own configuration, running its
// frames as `write` says with the poses in `name`.poses, and runs it against
// the folder's truth. Not ready, with the reason in `printed`, when the
// configuration cannot be written.
ConsoleRun RunWrittenSequence(const SequenceFolder& folder, const SequenceWriteOptions& write,
                              const std::string& name);

// Renders a hand-held sequence of `kind` and `seed`, `frames` long, into the
// folder and runs it from a two-view start with the workers in step with the
// tracker, so that the run is the same on any machine. Not ready, with the
// reason in `printed`, when the folder cannot be written.
ConsoleRun RunTwoViewSequence(const SequenceFolder& folder, SequenceKind kind, u32 frames,
                              u32 seed);
