#include "common/app/DemoSequence.h"

#include <cstdio>
#include <filesystem>

#include "app/DiskInput.h"
#include "common/SequenceGenerator.h"
#include "mapping/ProjectFile.h"
#include "mapping/SequenceFileName.h"

namespace {

bool WriteText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const bool written = std::fputs(text.c_str(), f) >= 0;
  return std::fclose(f) == 0 && written;
}

}  // namespace

bool WriteDemoSequence(const std::string& folderName, u32 frames) {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::absolute(folderName, error);
  std::filesystem::create_directories(folder / "frames", error);
  if (error) {
    std::fprintf(stderr, "Cannot create '%s'\n", folder.c_str());
    return false;
  }
  SequenceOptions options;
  options.frames = frames;
  // The engine takes the motion's acceleration alone, without gravity.
  options.gravity = 0.0;
  SequenceGenerator sequence(options);
  const std::string dir = folder.string() + "/";
  const std::string pattern = dir + "frames/0000.dat";

  CVD::Image<u8> image;
  std::vector<IMUSample> samples;
  f64 prior[8];
  std::string name;
  FILE* truth = std::fopen((dir + "truth.txt").c_str(), "w");
  if (truth == nullptr) return false;
  for (u32 k = 0; k < sequence.FrameCount(); ++k) {
    sequence.RenderFrame(k, image);
    sequence.FrameSamples(k, samples);
    sequence.PosePrior(k, prior);
    MakeSequenceFileName(name, pattern, k);
    if (!WriteFrameRecord(name, image, sequence.FrameTime(k), samples, prior)) {
      std::fprintf(stderr, "Cannot write '%s'\n", name.c_str());
      std::fclose(truth);
      return false;
    }
    std::fprintf(truth, "%u\n", k);
    WritePoseRows(sequence.TruePose(k), truth);
  }
  std::fclose(truth);

  float marker[10];
  sequence.MarkerObservation(0, marker);
  char line[512];
  std::string markerText;
  for (int i = 0; i < 10; ++i) {
    std::snprintf(line, sizeof(line), "%.9g%s", marker[i], i % 2 ? "\n" : " ");
    markerText += line;
  }
  const Intrinsic& K = sequence.Camera();
  std::snprintf(line, sizeof(line), "%.9g 0 %.9g\n0 %.9g %.9g\n0 0 1\n", K.fx[0], K.cx[0], K.fy[0],
                K.cy[0]);
  const std::string config =
      "// The demo: the synthetic room, anchored to the marker sheet.\n"
      "image_file_name_input=" +
      pattern + "\n" + "marker_file_name_input=" + dir + "marker.txt\n" +
      "camera_file_name_output=" + dir + "poses.txt\n" +
      "act_file_name_output=../track.act\n"
      "parallel=1\n"
      "view=0\n";
  if (!WriteText(dir + "marker.txt", markerText) || !WriteText(dir + "K.txt", line) ||
      !WriteText(dir + "config.txt", config)) {
    std::fprintf(stderr, "Cannot write the demo's text files in '%s'\n", dir.c_str());
    return false;
  }
  return true;
}

bool WriteFlatFrameRecord(const std::string& path, i32 w, i32 h) {
  const CVD::Image<u8> grey(CVD::ImageRef(w, h), 0x40);
  const f64 noPrior[8] = {0, 0, 0, 1, 0, 0, 0, kNoPriorTime};
  return WriteFrameRecord(path, grey, 0.0, {}, noPrior);
}
