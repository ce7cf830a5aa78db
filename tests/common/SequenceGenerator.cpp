#include "tests/common/SequenceGenerator.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>

#include "common/Draws.h"
#include "common/HandHeldMotion.h"
#include "la/Random.h"

namespace {

// The last sample index i with i / imuRate <= t; -1 before the first.
long LastSampleAtOrBefore(f64 t, f64 rate) {
  // The rates are whole numbers in practice: k / frameRate and i / imuRate
  // of the same instant round to the same double, so the comparison below
  // settles what the floor alone might miss by one.
  long i = static_cast<long>(std::floor(t * rate));
  while (i >= 0 && i / rate > t) --i;
  while ((i + 1) / rate <= t) ++i;
  return i;
}

// A separable Gaussian blur of sigma pixels in place (scratch holds the
// rows' pass), the border clamped.
void GaussianBlur(std::vector<float>& image, int w, int h, float sigma,
                  std::vector<float>& scratch) {
  if (!(sigma > 0.0f)) return;
  const int radius = std::max(static_cast<int>(std::ceil(3.0f * sigma)), 1);
  float kernel[64];
  const int r = std::min(radius, 31);
  float total = 0.0f;
  for (int i = -r; i <= r; ++i) total += kernel[i + r] = std::exp(-0.5f * i * i / (sigma * sigma));
  for (int i = 0; i <= 2 * r; ++i) kernel[i] /= total;
  scratch.resize(image.size());
  for (int y = 0; y < h; ++y) {
    const float* row = &image[static_cast<size_t>(y) * w];
    float* out = &scratch[static_cast<size_t>(y) * w];
    for (int x = 0; x < w; ++x) {
      float sum = 0.0f;
      for (int i = -r; i <= r; ++i) sum += kernel[i + r] * row[std::min(std::max(x + i, 0), w - 1)];
      out[x] = sum;
    }
  }
  for (int y = 0; y < h; ++y) {
    float* out = &image[static_cast<size_t>(y) * w];
    for (int x = 0; x < w; ++x) {
      float sum = 0.0f;
      for (int i = -r; i <= r; ++i)
        sum += kernel[i + r] *
               scratch[static_cast<size_t>(std::min(std::max(y + i, 0), h - 1)) * w + x];
      out[x] = sum;
    }
  }
}

}  // namespace

SequenceOptions HandHeldSequence(SequenceKind kind, u32 frames) {
  SequenceOptions o;
  o.kind = kind;
  o.frames = frames;
  o.opticalBlur = 0.6f;
  o.exposure = 0.01;
  o.pixelNoise = 2.0f;
  return o;
}

void SetFrameSize(SequenceOptions& options, int width, int height) {
  options.width = width;
  options.height = height;
  options.fx = options.fy = static_cast<float>(width * 500.0 / 640.0);
  options.cx = (width - 1) * 0.5f;
  options.cy = (height - 1) * 0.5f;
}

void TurnBody(SequenceOptions& options, const f64 c[4]) {
  const Eigen::Quaterniond turn = Eigen::Quaterniond(c[3], c[0], c[1], c[2]).normalized();
  const f64* q = options.offset.quaternion;
  const Eigen::Quaterniond mount = turn.conjugate() * Eigen::Quaterniond(q[3], q[0], q[1], q[2]);
  for (int i = 0; i < 4; ++i) {
    options.bodyTurn[i] = turn.coeffs()[i];
    options.offset.quaternion[i] = mount.coeffs()[i];
  }
}

SequenceGenerator::SequenceGenerator(const SequenceOptions& options)
    : options_(options),
      trajectory_(options.gravity, options.kind),
      scene_(options.kind, options.seed),
      rasterizer_(options.samplesPerPixel),
      sweepRasterizer_(1) {
  intrinsic_.Set(options.fx, options.fy, options.cx, options.cy);
  trajectory_.SetBodyTurn(options.bodyTurn);
  const f64 end = options.frames == 0 ? 0.0 : FrameTime(options.frames - 1);
  const long n = LastSampleAtOrBefore(end, options.imuRate) + 1;
  samples_.resize(static_cast<size_t>(n));
  // The noise comes after the textures from the same thread's generator.
  Random::Seed(options.seed * 7919u + 17u);
  for (long i = 0; i < n; ++i) {
    samples_[i] = SampleAt(i / options.imuRate);
    for (int j = 0; j < 3; ++j) {
      if (options.accelerometerNoise > 0)
        samples_[i].acceleration[j] += options.accelerometerNoise * GaussianD();
      if (options.gyroscopeNoise > 0)
        samples_[i].rotationRate[j] += options.gyroscopeNoise * GaussianD();
    }
  }
}

IMUSample SequenceGenerator::SampleAt(f64 t) const {
  const TrajectoryPoint p = trajectory_.At(t);
  IMUSample s;
  for (int j = 0; j < 3; ++j) {
    s.acceleration[j] = p.specificForce[j];
    s.rotationRate[j] = p.rotationRate[j];
  }
  s.time = t;
  return s;
}

void SequenceGenerator::RenderPose(const CameraPose& pose, CVD::Image<unsigned char>& image) {
  const CVD::ImageRef size(options_.width, options_.height);
  if (image.size() != size) image.resize(size);
  // Grey where a ray leaves the room: it never does from inside.
  rasterizer_.Render(scene_.Planes(), pose, intrinsic_, image, 90);
}

int SequenceGenerator::ExposureRenders(u32 k) const {
  if (!(options_.exposure > 0.0)) return 1;
  // Image motion over the exposure from the body's rate and its speed as
  // seen at the nearest surface; a render every 0.7 px.
  const f64 nearest = options_.kind == SequenceKind::kDemo ? 0.3 : MotionOf(options_.kind).nearest;
  const TrajectoryPoint p = trajectory_.At(FrameTime(k));
  const f64 rate =
      std::sqrt(p.rotationRate[0] * p.rotationRate[0] + p.rotationRate[1] * p.rotationRate[1] +
                p.rotationRate[2] * p.rotationRate[2]);
  const f64 speed = std::sqrt(p.state.velocity[0] * p.state.velocity[0] +
                              p.state.velocity[1] * p.state.velocity[1] +
                              p.state.velocity[2] * p.state.velocity[2]);
  const f64 pixels =
      std::max(options_.fx, options_.fy) * options_.exposure * (rate + speed / nearest);
  const int n = static_cast<int>(std::ceil(pixels / 0.7));
  return std::min(std::max(n, 1), std::max(options_.maxExposureRenders, 1));
}

void SequenceGenerator::RenderFrame(u32 k, CVD::Image<unsigned char>& image) {
  if (options_.opticalBlur > 0.0f || options_.exposure > 0.0) {
    RenderCamera(k, image);
    return;
  }
  RenderPose(TruePose(k), image);
  if (options_.pixelNoise <= 0.0f) return;
  // Seeded by the frame, so frames come out the same in any order.
  Random::Seed(options_.seed * 104729u + k + 1u);
  for (int y = 0; y < image.size().y; ++y) {
    for (int x = 0; x < image.size().x; ++x) {
      const float v = image[y][x] + options_.pixelNoise * Gaussian() + 0.5f;
      image[y][x] = static_cast<unsigned char>(std::min(std::max(v, 0.0f), 255.0f));
    }
  }
}

void SequenceGenerator::RenderCamera(u32 k, CVD::Image<unsigned char>& image) {
  const int w = options_.width, h = options_.height;
  const CVD::ImageRef size(w, h);
  if (image.size() != size) image.resize(size);
  const size_t n = static_cast<size_t>(w) * h;
  exposed_.assign(n, 0.0f);
  const int renders = ExposureRenders(k);
  // Many renders along the path sample each pixel's area as they go: one
  // ray a pixel each then costs a quarter and aliases little.
  PlaneRasterizer& rasterizer = renders >= 4 ? sweepRasterizer_ : rasterizer_;
  for (int i = 0; i < renders; ++i) {
    const f64 t = FrameTime(k) + options_.exposure * ((i + 0.5) / renders - 0.5);
    const CameraPose pose = CameraPoseOfState(trajectory_.At(t).state, options_.offset);
    rasterizer.RenderAdd(scene_.Planes(), pose, intrinsic_, w, h, exposed_.data(), 90);
  }
  const float mean = 1.0f / renders;
  for (float& v : exposed_) v *= mean;
  GaussianBlur(exposed_, w, h, options_.opticalBlur, blurred_);
  // Read noise seeded by the frame, so frames come out the same in any order.
  Random::Seed(options_.seed * 104729u + k + 1u);
  const bool noise = options_.pixelNoise > 0.0f;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      float v = exposed_[static_cast<size_t>(y) * w + x] + 0.5f;
      if (noise) v += options_.pixelNoise * Gaussian();
      image[y][x] = static_cast<unsigned char>(std::min(std::max(v, 0.0f), 255.0f));
    }
  }
}

void SequenceGenerator::FrameSampleRange(u32 k, u32& first, u32& end) const {
  // Clipped to the samples held, so a frame past the run gets none.
  const long n = static_cast<long>(samples_.size());
  const long last = LastSampleAtOrBefore(FrameTime(k), options_.imuRate);
  const long before = k == 0 ? -1 : LastSampleAtOrBefore(FrameTime(k - 1), options_.imuRate);
  first = static_cast<u32>(std::min(before + 1, n));
  end = static_cast<u32>(std::max(std::min(last + 1, n), static_cast<long>(first)));
}

void SequenceGenerator::FrameSamples(u32 k, std::vector<IMUSample>& out) const {
  u32 first, end;
  FrameSampleRange(k, first, end);
  out.assign(samples_.begin() + first, samples_.begin() + end);
}

void SequenceGenerator::PosePrior(u32 k, f64 prior[8]) const {
  const IMUState s = TrueState(k);
  for (int i = 0; i < 4; ++i) prior[i] = s.quaternion[i];
  for (int i = 0; i < 3; ++i) prior[4 + i] = -s.position[i];
  prior[7] = FrameTime(k);
}

CameraPose SequenceGenerator::TruePose(u32 k) const {
  return CameraPoseOfState(TrueState(k), options_.offset);
}

void SequenceGenerator::TrueCentre(u32 k, f64 centre[3]) const {
  CameraCentreOfState(TrueState(k), options_.offset, centre);
}

void SequenceGenerator::MarkerObservation(u32 k, float out[10]) const {
  const CameraPose pose = TruePose(k);
  f64 corners[4][3];
  scene_.MarkerCorners(corners);
  for (int c = 0; c < 4; ++c) {
    const float P[3] = {static_cast<float>(corners[c][0]), static_cast<float>(corners[c][1]),
                        static_cast<float>(corners[c][2])};
    SceneRender::ProjectPoint(pose, intrinsic_, P, out + 2 * c);
  }
  out[8] = SequenceScene::kSheetHeight;
  out[9] = SequenceScene::kSheetWidth;
}

f64 SequenceGenerator::PathLength() const {
  f64 length = 0.0, previous[3], centre[3];
  for (u32 k = 0; k < options_.frames; ++k) {
    TrueCentre(k, centre);
    if (k > 0)
      length += std::sqrt((centre[0] - previous[0]) * (centre[0] - previous[0]) +
                          (centre[1] - previous[1]) * (centre[1] - previous[1]) +
                          (centre[2] - previous[2]) * (centre[2] - previous[2]));
    std::copy(centre, centre + 3, previous);
  }
  return length;
}
