// Decision of the console application's IMU-simulation flags.
#include "la/IMUSimulationFlags.h"

#include <cstdio>

namespace {

std::string Extension(const std::string& fileName) {
  const size_t dot = fileName.rfind('.');
  const size_t slash = fileName.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return fileName.substr(dot + 1);
}

bool CanRead(const std::string& fileName) {
  if (fileName.empty()) return false;
  FILE* f = std::fopen(fileName.c_str(), "rb");
  if (!f) return false;
  std::fclose(f);
  return true;
}

}  // namespace

IMUSimulationFlags DecideIMUSimulation(const Configuration& config) {
  bool on =
      ConfigGetInt(config, "initial_frames", 0) > 0 || ConfigGetInt(config, "simulate_imu", 0) != 0;
  if (!on) {
    const std::string extension = Extension(ConfigGetString(config, "image_file_name_input", ""));
    on = extension != "txt" && extension != "dat" &&
         !CanRead(ConfigGetString(config, "imu_file_name_input", ""));
  }
  IMUSimulationFlags flags;
  flags.simulate = flags.simulateRotation = on ? 1 : 0;
  return flags;
}
