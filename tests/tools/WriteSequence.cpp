// Writes a hand-held sequence for the console program:
//   zevrion_write_sequence <kind> <folder> [frames] [key=value ...]
// then run `zevrion <folder>/config.txt` and measure with
// `zevrion_accuracy <folder>/poses.txt <folder>/truth.txt`.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/app/SequenceWriter.h"

namespace {

void Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s <kind> <folder> [frames] [key=value ...]\n"
               "kinds: desk, room, board, pans (hand-held, 30 fps); demo (the marker room,\n"
               "  written here without its marker file)\n"
               "frames: 300 by default (10 s)\n"
               "keys for the sequence itself:\n"
               "  mode=readings|visual|twoview   how the console runs it (readings)\n"
               "  start_frames=N                 frames of the two-view start (10)\n"
               "  readings=0|1                   readings and priors in the records (1)\n"
               "  seed=N width=W height=H        textures and noise; image size (640 x 480)\n"
               "  fps=F imu_rate=HZ              frame and reading rates (30, 200)\n"
               "  mount=qx,qy,qz,qw,px,py,pz     camera on the body, x_cam = R(q) x_body + p,\n"
               "                                 written into K.txt (-0.7071,0.7071,0,0,0,0,0)\n"
               "  body_turn=qx,qy,qz,qw          the body turned by q against the motion and\n"
               "                                 the mounting back: the same views (after mount)\n"
               "  blur=PX exposure_ms=MS read_noise=GREY   camera (0.6, 10, 2)\n"
               "  accel_noise=M/S2 gyro_noise=RAD/S        per IMU reading (0, 0)\n"
               "any other key=value goes into config.txt as it is (initial_depth=0.37,\n"
               "simulate_imu=1, initial_frames=20, parallel=0, ...) and wins over the\n"
               "writer's own.\n",
               program);
}

bool ParseNumber(const std::string& text, double& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return end != text.c_str() && *end == '\0' && errno != ERANGE && std::isfinite(value);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    Usage(argv[0]);
    return 2;
  }
  SequenceKind kind;
  if (!ParseSequenceKind(argv[1], kind)) {
    std::fprintf(stderr, "Unknown kind '%s'\n", argv[1]);
    Usage(argv[0]);
    return 2;
  }
  int next = 3;
  double frames = 300;
  if (argc > 3 && std::string(argv[3]).find('=') == std::string::npos) {
    if (!ParseNumber(argv[3], frames) || frames < 1 || frames > 1e6 ||
        frames != std::floor(frames)) {
      std::fprintf(stderr, "The frame count must be a whole number from 1 on, not '%s'\n", argv[3]);
      return 2;
    }
    next = 4;
  }
  SequenceOptions options =
      kind == SequenceKind::kDemo ? SequenceOptions() : HandHeldSequence(kind, 0);
  options.kind = kind;
  options.frames = static_cast<u32>(frames);
  SequenceWriteOptions write;
  for (int i = next; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) {
      std::fprintf(stderr, "Expected key=value, not '%s'\n", argv[i]);
      return 2;
    }
    const std::string key = arg.substr(0, eq), value = arg.substr(eq + 1);
    double v = 0.0;
    const bool number = ParseNumber(value, v);
    const auto bad = [&](const char* what) {
      std::fprintf(stderr, "'%s' needs %s, not '%s'\n", key.c_str(), what, value.c_str());
      return 2;
    };
    if (key == "mode") {
      if (!ParseRunMode(value, write.mode)) return bad("readings, visual or twoview");
    } else if (key == "start_frames") {
      if (!number || v < 1 || v > 1e6) return bad("a count from 1 on");
      write.initialFrames = static_cast<int>(v);
    } else if (key == "readings") {
      if (!number || (v != 0 && v != 1)) return bad("0 or 1");
      write.recordReadings = v != 0;
    } else if (key == "seed") {
      if (!number || v < 0 || v > 4e9) return bad("a whole number");
      options.seed = static_cast<u32>(v);
    } else if (key == "width" || key == "height") {
      if (!number || v < 16 || v > 4096) return bad("16 to 4096 pixels");
      if (key == "width")
        SetFrameSize(options, static_cast<int>(v), options.height);
      else
        SetFrameSize(options, options.width, static_cast<int>(v));
    } else if (key == "fps") {
      if (!number || v < 1 || v > 1000) return bad("1 to 1000 frames a second");
      options.frameRate = v;
    } else if (key == "imu_rate") {
      if (!number || v < 1 || v > 10000) return bad("1 to 10000 readings a second");
      options.imuRate = v;
    } else if (key == "mount") {
      double m[7];
      int used = 0;
      if (std::sscanf(value.c_str(), "%lf,%lf,%lf,%lf,%lf,%lf,%lf%n", &m[0], &m[1], &m[2], &m[3],
                      &m[4], &m[5], &m[6], &used) != 7 ||
          used != static_cast<int>(value.size()))
        return bad("seven numbers qx,qy,qz,qw,px,py,pz");
      std::copy(m, m + 4, options.offset.quaternion);
      std::copy(m + 4, m + 7, options.offset.position);
    } else if (key == "body_turn") {
      double c[4];
      int used = 0;
      if (std::sscanf(value.c_str(), "%lf,%lf,%lf,%lf%n", &c[0], &c[1], &c[2], &c[3], &used) != 4 ||
          used != static_cast<int>(value.size()))
        return bad("four numbers qx,qy,qz,qw");
      TurnBody(options, c);
    } else if (key == "blur") {
      if (!number || v < 0 || v > 10) return bad("0 to 10 pixels");
      options.opticalBlur = static_cast<float>(v);
    } else if (key == "exposure_ms") {
      if (!number || v < 0 || v > 100) return bad("0 to 100 ms");
      options.exposure = v / 1000.0;
    } else if (key == "read_noise") {
      if (!number || v < 0 || v > 100) return bad("0 to 100 grey levels");
      options.pixelNoise = static_cast<float>(v);
    } else if (key == "accel_noise") {
      if (!number || v < 0 || v > 10) return bad("0 to 10 m/s^2");
      options.accelerometerNoise = v;
    } else if (key == "gyro_noise") {
      if (!number || v < 0 || v > 10) return bad("0 to 10 rad/s");
      options.gyroscopeNoise = v;
    } else {
      write.keys.emplace_back(key, value);
    }
  }
  std::string error;
  if (!WriteSequenceFolder(argv[2], options, write, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("Wrote %u frames of '%s' (%s) to '%s'\n", options.frames, argv[1],
              RunModeName(write.mode), argv[2]);
  return 0;
}
