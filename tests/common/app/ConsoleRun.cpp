#include "common/app/ConsoleRun.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "app/Application.h"
#include "common/TempFolder.h"
#include "optimization/IMUParameters.h"
#include "tracker/Tracker.h"

namespace {

// A run that never started, with the reason where its output would be.
ConsoleRun NotReady(const std::string& why) {
  ConsoleRun failed;
  failed.printed = why;
  return failed;
}

}  // namespace

RedirectedOutput::RedirectedOutput(const std::string& path) {
  std::fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (file >= 0) {
    dup2(file, STDOUT_FILENO);
    close(file);
  }
}

RedirectedOutput::~RedirectedOutput() {
  std::fflush(stdout);
  if (saved_ >= 0) {
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
}

ConsoleRun RunConsole(const std::string& config, const std::string& poses,
                      const std::string& truth) {
  ConsoleRun run;
  TempFolder scratch;
  const std::string printed = scratch.File("printed.txt");
  {
    RedirectedOutput captured(printed);
    Application application(config);
    run.ready = application.Ready();
    if (run.ready) {
      const auto start = std::chrono::steady_clock::now();
      run.exitCode = application.Run();
      run.runSeconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const std::vector<f64>& frames = application.FrameSeconds();
      double sum = 0.0;
      for (const f64 t : frames) sum += t;
      run.msPerFrame = frames.empty() ? 0.0 : 1e3 * sum / frames.size();
      const GlobalMap& map = application.GetTracker()->MapView().Map();
      if (map.KeyFrameCount() > 1) run.secondKeyFrame = static_cast<int>(map.keyFrames[1].frameId);
    } else {
      run.exitCode = application.ExitCode();
    }
  }
  IMU::ResetParameters();
  std::ifstream in(printed);
  run.printed.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  PoseFileContents truthContents;
  std::string error;
  if (run.ready && ReadPoseFile(poses, run.poses, &error) &&
      ReadPoseFile(truth, truthContents, &error))
    run.report = EvaluateAccuracy(run.poses.centres, truthContents.centres, run.secondKeyFrame);
  return run;
}

ConsoleRun RunWrittenSequence(const SequenceFolder& folder, const SequenceWriteOptions& write,
                              const std::string& name) {
  std::string error;
  if (!WriteSequenceConfig(folder.dir, write, name + ".txt", name + ".poses", &error))
    return NotReady(error);
  return RunConsole(folder.dir + "/" + name + ".txt", folder.dir + "/" + name + ".poses",
                    folder.Truth());
}

ConsoleRun RunTwoViewSequence(const SequenceFolder& folder, SequenceKind kind, u32 frames,
                              u32 seed) {
  SequenceOptions options = HandHeldSequence(kind, frames);
  options.seed = seed;
  std::string error;
  if (!WriteSequenceFolder(folder.dir, options, SequenceWriteOptions{}, &error))
    return NotReady(error);
  SequenceWriteOptions write;
  write.mode = RunMode::kTwoViewStart;
  write.parallel = false;
  return RunWrittenSequence(folder, write, "twoview");
}
