#include "common/app/SequenceWriter.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

#include "app/DiskInput.h"
#include "mapping/ProjectFile.h"
#include "mapping/SequenceFileName.h"
#include "tests/common/SequenceTrajectory.h"

namespace {

bool Fail(std::string* error, const std::string& message) {
  if (error != nullptr) *error = message;
  return false;
}

bool WriteText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const bool written = std::fputs(text.c_str(), f) >= 0;
  return std::fclose(f) == 0 && written;
}

// The console reads a line in pieces of 511 characters and strips spaces:
// a key it would read differently is refused here.
bool UsableKey(const std::string& key, const std::string& value, std::string* error) {
  const std::string line = key + "=" + value;
  if (key.empty() || key.find_first_of("= \t\r\n") != std::string::npos ||
      key.compare(0, 2, "//") == 0)
    return Fail(error, "unusable configuration key '" + key + "'");
  if (value.empty() || value.find_first_of("= \t\r\n") != std::string::npos)
    return Fail(error, "unusable value '" + value + "' for key '" + key + "'");
  if (line.size() > 500) return Fail(error, "configuration line too long for key '" + key + "'");
  return true;
}

}  // namespace

bool ParseRunMode(const std::string& name, RunMode& mode) {
  if (name == "readings") {
    mode = RunMode::kWithReadings;
  } else if (name == "visual") {
    mode = RunMode::kVisualOnly;
  } else if (name == "twoview") {
    mode = RunMode::kTwoViewStart;
  } else {
    return false;
  }
  return true;
}

const char* RunModeName(RunMode mode) {
  switch (mode) {
    case RunMode::kWithReadings:
      return "readings";
    case RunMode::kVisualOnly:
      return "visual";
    case RunMode::kTwoViewStart:
      return "twoview";
  }
  return "?";
}

bool WriteSequenceFolder(const std::string& folderName, SequenceOptions options,
                         const SequenceWriteOptions& write, std::string* error) {
  if (options.frames < 1) return Fail(error, "a sequence needs at least one frame");
  if (write.mode == RunMode::kTwoViewStart && write.initialFrames < 1)
    return Fail(error, "a two-view start needs at least one start frame");
  for (const auto& [key, value] : write.keys) {
    if (!UsableKey(key, value, error)) return false;
  }
  std::error_code fsError;
  const std::filesystem::path folder = std::filesystem::absolute(folderName, fsError);
  const std::string dir = folder.string() + "/";
  const std::string pattern = dir + "frames/0000.dat";
  // Refused before anything is made: a path the console cannot read.
  if (!fsError && !UsableKey("image_file_name_input", pattern, error)) return false;
  if (!fsError) std::filesystem::create_directories(folder / "frames", fsError);
  if (fsError) return Fail(error, "cannot create '" + folderName + "': " + fsError.message());

  // The engine takes the motion's acceleration alone, without gravity.
  options.gravity = 0.0;
  SequenceGenerator sequence(options);

  FILE* truth = std::fopen((dir + "truth.txt").c_str(), "w");
  if (truth == nullptr) return Fail(error, "cannot write '" + dir + "truth.txt'");
  CVD::Image<u8> image;
  std::vector<IMUSample> samples;
  f64 prior[8];
  std::string name;
  bool ok = true;
  for (u32 k = 0; ok && k < sequence.FrameCount(); ++k) {
    sequence.RenderFrame(k, image);
    if (write.recordReadings) {
      sequence.FrameSamples(k, samples);
      sequence.PosePrior(k, prior);
      // An attitude: a hand-held device knows its orientation, not where it is.
      prior[4] = prior[5] = prior[6] = 0.0;
    } else {
      samples.clear();
      const f64 none[8] = {0, 0, 0, 1, 0, 0, 0, kNoPriorTime};
      std::copy(none, none + 8, prior);
    }
    MakeSequenceFileName(name, pattern, k);
    if (!WriteFrameRecord(name, image, sequence.FrameTime(k), samples, prior)) {
      ok = Fail(error, "cannot write '" + name + "'");
      break;
    }
    std::fprintf(truth, "%u\n", k);
    WritePoseRows(sequence.TruePose(k), truth);
  }
  const bool truthWritten = std::ferror(truth) == 0;
  if (std::fclose(truth) != 0 || !truthWritten) {
    if (ok) ok = Fail(error, "cannot write '" + dir + "truth.txt'");
  }
  if (!ok) return false;

  const Intrinsic& K = sequence.Camera();
  char line[256];
  std::snprintf(line, sizeof(line), "%.9g 0 %.9g\n0 %.9g %.9g\n0 0 1\n", K.fx[0], K.cx[0], K.fy[0],
                K.cy[0]);
  std::string calibration = line;
  const SequenceOptions defaults;
  const CameraOffset& mount = options.offset;
  if (!std::equal(mount.quaternion, mount.quaternion + 4, defaults.offset.quaternion) ||
      !std::equal(mount.position, mount.position + 3, defaults.offset.position)) {
    // Another mounting: its [R | t] (x_cam = R x_body + t), the camera pose
    // of a body at the origin.
    IMUState origin{};
    origin.quaternion[3] = 1.0;
    const CameraPose R = CameraPoseOfState(origin, mount);
    for (int r = 0; r < 3; ++r) {
      std::snprintf(line, sizeof(line), "%.9g %.9g %.9g %.9g\n", R.m[r][0], R.m[r][1], R.m[r][2],
                    R.m[r][3]);
      calibration += line;
    }
  }
  if (!WriteText(dir + "K.txt", calibration))
    return Fail(error, "cannot write the text files in '" + dir + "'");
  return WriteSequenceConfig(folder.string(), write, "config.txt", "poses.txt", error);
}

bool WriteSequenceConfig(const std::string& folder, const SequenceWriteOptions& write,
                         const std::string& configName, const std::string& posesName,
                         std::string* error) {
  if (write.mode == RunMode::kTwoViewStart && write.initialFrames < 1)
    return Fail(error, "a two-view start needs at least one start frame");
  // Absolute paths: the console may run from anywhere.
  std::error_code fsError;
  const std::string dir = std::filesystem::absolute(folder, fsError).string() + "/";
  if (fsError) return Fail(error, "no absolute path for '" + folder + "'");
  const std::string pattern = dir + "frames/0000.dat";
  // The caller's keys first; the writer's own only where the caller is silent.
  std::vector<std::pair<std::string, std::string>> keys = write.keys;
  std::set<std::string> given;
  for (const auto& kv : keys) given.insert(kv.first);
  const auto add = [&](const std::string& key, const std::string& value) {
    if (given.insert(key).second) keys.emplace_back(key, value);
  };
  add("image_file_name_input", pattern);
  add("camera_file_name_output", dir + posesName);
  add("view", "0");
  add("parallel", write.parallel ? "1" : "0");
  if (write.mode == RunMode::kVisualOnly) add("simulate_imu", "1");
  if (write.mode == RunMode::kTwoViewStart)
    add("initial_frames", std::to_string(write.initialFrames));

  std::string config =
      std::string("// A rendered sequence, run ") + RunModeName(write.mode) + ".\n";
  for (const auto& [key, value] : keys) {
    if (!UsableKey(key, value, error)) return false;  // paths of an odd folder
    config += key + "=" + value + "\n";
  }
  if (!WriteText(dir + configName, config))
    return Fail(error, "cannot write '" + dir + configName + "'");
  return true;
}
