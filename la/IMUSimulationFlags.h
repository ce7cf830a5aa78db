#pragma once
// Whether the console application simulates its inertial input: when a run
// has no usable IMU file (or asks for simulation), the inertial weights are
// loosened right after the parameters are read. The two flags are always set
// together.
#include <string>

#include "la/Configuration.h"

struct IMUSimulationFlags {
  u8 simulate = 0;          // inertial input is simulated
  u8 simulateRotation = 0;  // rotation rates are simulated too
};

// The text after the last '.' of the file part of a path; empty when none.
std::string GetFileExtension(const std::string& path);

// On when "initial_frames" > 0, or "simulate_imu" is non-zero, or the
// extension of "image_file_name_input" is neither "txt" nor "dat" and the IMU
// file of the first frame did not load (imuFileLoads false).
IMUSimulationFlags DecideIMUSimulation(const Configuration& config, bool imuFileLoads);
