#pragma once
// The synthetic room as a host hands it to the exported interface: frames as
// packed bytes, readings in g and rad/s, the prior with the host's signs.
#include <cmath>
#include <cstring>
#include <vector>

#include "app/zevrion.h"
#include "common/SequenceGenerator.h"

// The room without gravity, width x 3/4 width, fx 500 at 640, centred.
inline SequenceOptions HostRoom(int width, u32 frames = 30) {
  SequenceOptions o;
  o.frames = frames;
  SetFrameSize(o, width, width * 3 / 4);
  o.gravity = 0.0;
  return o;
}

inline double HostHfov(const SequenceOptions& o) {
  return 2.0 * std::atan(o.width * 0.5 / o.fx) / 0.01745329238474369;
}

// Frame k with its readings, prior and marker observation.
struct HostInput {
  std::vector<u8> pixels;
  std::vector<HostImuSample> imu;
  double prior[8];
  float marker[10];
  double time;

  void Load(SequenceGenerator& sequence, u32 k) {
    CVD::Image<u8> image;
    sequence.RenderFrame(k, image);
    const int w = image.size().x, h = image.size().y;
    pixels.resize(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) std::memcpy(&pixels[static_cast<size_t>(y) * w], image[y], w);
    std::vector<IMUSample> samples;
    sequence.FrameSamples(k, samples);
    imu.clear();
    for (const IMUSample& s : samples) {
      imu.push_back({0, s.acceleration[0] / -9.81, s.acceleration[1] / -9.81,
                     s.acceleration[2] / -9.81, s.time});
      imu.push_back({1, s.rotationRate[0], s.rotationRate[1], s.rotationRate[2], s.time});
    }
    sequence.PosePrior(k, prior);
    for (int i = 4; i < 7; ++i) prior[i] = -prior[i];
    sequence.MarkerObservation(k, marker);
    time = sequence.FrameTime(k);
  }
  TrackingResult Run(u32 k) {
    const HostFrame frame{pixels.data(), time, k == 0 ? marker : nullptr};
    TrackingResult out;
    ZevrionRunTracking(&out, &frame, imu.data(), static_cast<int>(imu.size()), prior);
    return out;
  }
};
