// Decision of the console application's IMU-simulation flags.
#include "la/IMUSimulationFlags.h"

std::string GetFileExtension(const std::string& path) {
  const size_t dot = path.rfind('.');
  const size_t slash = path.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return path.substr(dot + 1);
}

IMUSimulationFlags DecideIMUSimulation(const Configuration& config, bool imuFileLoads) {
  bool on =
      ConfigGetInt(config, "initial_frames", 0) > 0 || ConfigGetInt(config, "simulate_imu", 0) != 0;
  if (!on) {
    const std::string extension =
        GetFileExtension(ConfigGetString(config, "image_file_name_input", ""));
    on = extension != "txt" && extension != "dat" && !imuFileLoads;
  }
  IMUSimulationFlags flags;
  flags.simulate = flags.simulateRotation = on ? 1 : 0;
  return flags;
}
