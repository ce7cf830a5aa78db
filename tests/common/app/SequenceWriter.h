#pragma once
// A rendered sequence on disk for the console program: frame records
// (frames/0000.dat ...) with or without inertial readings and attitude
// priors, the calibration (K.txt), the true poses in the pose-file layout
// (truth.txt) and a configuration (config.txt) that runs it and writes the
// poses to poses.txt. No marker file: these sequences start without one.
#include <string>
#include <utility>
#include <vector>

#include "common/SequenceGenerator.h"

// How the console runs the sequence.
enum class RunMode {
  kWithReadings,  // inertial readings and attitude priors
  kVisualOnly,    // simulate_imu=1
  kTwoViewStart,  // initial_frames=N, which also makes the run visual-only
};

// "readings", "visual", "twoview"; false for another name.
bool ParseRunMode(const std::string& name, RunMode& mode);
const char* RunModeName(RunMode mode);

struct SequenceWriteOptions {
  RunMode mode = RunMode::kWithReadings;
  int initialFrames = 10;  // frames of the two-view start
  // Readings and priors in the records, whatever the mode (a visual-only
  // mode is made by the configuration); false writes bare frames.
  bool recordReadings = true;
  bool parallel = true;
  // Configuration keys in order; the caller's win over the writer's own
  // (the console keeps a key's first value, and the writer then leaves it
  // out).
  std::vector<std::pair<std::string, std::string>> keys;
};

// Writes the sequence of `options` (gravity taken out of the readings, as
// the engine takes them) into folder, created. False with the reason in
// error when a file cannot be written or a key is unusable.
bool WriteSequenceFolder(const std::string& folder, SequenceOptions options,
                         const SequenceWriteOptions& write, std::string* error);

// Another configuration for a written folder, `configName` in it, that
// runs the same frames as `write` says and writes the poses to `posesName`
// in it (the writer's own config.txt is this with "config.txt" and
// "poses.txt").
bool WriteSequenceConfig(const std::string& folder, const SequenceWriteOptions& write,
                         const std::string& configName, const std::string& posesName,
                         std::string* error);

// The paths of a written folder.
struct SequenceFolder {
  explicit SequenceFolder(const std::string& folder) : dir(folder) {}
  std::string Config() const { return dir + "/config.txt"; }
  std::string Poses() const { return dir + "/poses.txt"; }
  std::string Truth() const { return dir + "/truth.txt"; }
  std::string dir;
};
