#pragma once
// Whether the console application simulates its inertial input: when a run
// has no usable IMU file (or asks for simulation), the inertial weights are
// loosened right after the parameters are read. The two flags are always set
// together.
#include "la/Configuration.h"

struct IMUSimulationFlags {
  u8 simulate = 0;          // inertial input is simulated
  u8 simulateRotation = 0;  // rotation rates are simulated too
};

// On when "initial_frames" > 0, or "simulate_imu" is non-zero, or the
// extension of "image_file_name_input" is neither "txt" nor "dat" and the file
// named by "imu_file_name_input" cannot be opened for reading.
IMUSimulationFlags DecideIMUSimulation(const Configuration& config);
