#include "app/DiskInput.h"

#include <cvd/convert_image.h>
#include <cvd/image_io.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

#include "mapping/GlobalMap.h"
#include "optimization/IMUAlgebra.h"

bool LoadImageFrame(const std::string& name, DiskFrame& frame) {
  CVD::Image<CVD::Rgb<u8>> colour;
  try {
    CVD::img_load(colour, name);
  } catch (const std::exception&) {
    return false;
  } catch (...) {  // libCVD throws its own exception types, not all from std
    return false;
  }
  if (colour.size().x <= 0 || colour.size().y <= 0) return false;
  frame.colour = std::move(colour);
  frame.grey.resize(frame.colour.size());
  CVD::convert_image(frame.colour, frame.grey);
  frame.time = CurrentTimeOfDay();
  return true;
}

namespace {

// Little-endian fields of a byte buffer, each read checked.
class ByteCursor {
 public:
  ByteCursor(const u8* data, size_t size) : p_(data), end_(data + size) {}
  template <class T>
  bool Get(T& value) {
    if (Left() < sizeof(T)) return false;
    std::memcpy(&value, p_, sizeof(T));
    p_ += sizeof(T);
    return true;
  }
  const u8* Take(size_t n) {
    if (Left() < n) return nullptr;
    const u8* at = p_;
    p_ += n;
    return at;
  }
  size_t Left() const { return static_cast<size_t>(end_ - p_); }

 private:
  const u8* p_;
  const u8* end_;
};

bool ReadWholeFile(const std::string& name, std::vector<u8>& bytes) {
  FILE* f = std::fopen(name.c_str(), "rb");
  if (f == nullptr) return false;
  bytes.clear();
  u8 chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

bool IsFinite(const IMUSample& s) {
  const auto finite = [](f64 v) { return std::isfinite(v); };
  return std::isfinite(s.time) && std::all_of(s.acceleration, s.acceleration + 3, finite) &&
         std::all_of(s.rotationRate, s.rotationRate + 3, finite);
}

// A prior as the tracker takes it: unit quaternion with w >= 0, position
// negated, or no prior at all.
void NormalisePrior(f64 prior[8]) {
  if (!IsUsablePrior(prior) || prior[7] < 0.0) {
    prior[7] = kNoPriorTime;
    return;
  }
  NormalisePriorQuaternion(prior, prior);
  for (int i = 4; i < 7; ++i) prior[i] = -prior[i];
}

}  // namespace

void NormalisePriorQuaternion(const f64 in[4], f64 out[4]) {
  std::copy(in, in + 4, out);
  NormalizeQuaternion(out);
}

void TurnReadings(const f64 M[9], std::vector<IMUSample>& imu, f64 prior[8]) {
  for (IMUSample& s : imu) {
    for (f64* v : {s.acceleration, s.rotationRate}) {
      const f64 x[3] = {v[0], v[1], v[2]};
      MatrixVector3d(M, x, v);
    }
  }
  if (prior[7] == kNoPriorTime) return;
  f64 H[9], turned[9];
  QuaternionToRotationDouble(prior, H);
  MatrixProductTransposed3d(H, M, turned);
  RotationToQuaternionDouble(turned, prior);
}

bool IsUsablePrior(const f64 prior[8]) {
  for (int i = 0; i < 8; ++i)
    if (!std::isfinite(prior[i])) return false;
  return std::isnormal(prior[0] * prior[0] + prior[1] * prior[1] + prior[2] * prior[2] +
                       prior[3] * prior[3]);
}

bool FrameRecordReader::ParseRecord(const std::string& name, Record& out) {
  if (!ReadWholeFile(name, bytes_)) return false;
  ByteCursor in(bytes_.data(), bytes_.size());
  i32 n = 0;
  if (!in.Get(out.width) || !in.Get(out.height) || !in.Get(out.time)) return false;
  const i32 w = out.width, h = out.height;
  if (w <= 0 || h <= 0 || w > kMaxRecordSide || h > kMaxRecordSide) return false;
  if (started_ && (w != width_ || h != height_)) return false;
  out.pixels = in.Take(static_cast<size_t>(w) * static_cast<size_t>(h));
  // Each sample record is at least 12 bytes and the prior follows them.
  if (out.pixels == nullptr || !in.Get(n) || n < 0 ||
      static_cast<size_t>(n) > (in.Left() - std::min(in.Left(), sizeof(f64) * 8)) / 12) {
    return false;
  }
  readings_.clear();
  for (i32 i = 0; i < n; ++i) {
    ImuReading r{0.0, {0, 0, 0}, 0};
    if (!in.Get(r.type)) return false;
    const bool valued = r.type == 0 || r.type == 1;
    if (valued && (!in.Get(r.value[0]) || !in.Get(r.value[1]) || !in.Get(r.value[2]))) return false;
    if (!in.Get(r.time)) return false;
    if (r.type == 0) {
      for (f64& v : r.value) v *= -9.81;
    }
    readings_.push_back(r);
  }
  for (f64& p : out.prior) {
    if (!in.Get(p)) return false;
  }
  return std::isfinite(out.time);
}

bool FrameRecordReader::CarryReadings(const std::string& name) {
  Record record;
  if (!ParseRecord(name, record)) return false;
  carried_.insert(carried_.end(), readings_.begin(), readings_.end());
  return true;
}

bool FrameRecordReader::LoadFrameRecord(const std::string& name, DiskFrame& frame,
                                        std::vector<IMUSample>& imu, f64 prior[8]) {
  Record r;
  if (!ParseRecord(name, r)) return false;
  // The record is whole: from here on it is taken, after the readings of
  // the records passed over.
  readings_.insert(readings_.begin(), carried_.begin(), carried_.end());
  carried_.clear();
  const bool first = !started_;
  if (first) {
    started_ = true;
    origin_ = r.time;
    width_ = r.width;
    height_ = r.height;
  }
  // The first record's readings may start the clock before its frame; after
  // that it stays (an inertial unit that ran before the camera may hand its
  // readings over late, and they must not shift the frames already read).
  builder_.Build(readings_, origin_, !first, imu);
  const i32 w = r.width, h = r.height;
  frame.grey.resize(CVD::ImageRef(w, h));
  for (i32 y = 0; y < h; ++y) std::memcpy(frame.grey[y], r.pixels + static_cast<size_t>(y) * w, w);
  frame.time = r.time - origin_;
  NormalisePrior(r.prior);
  if (r.prior[7] != kNoPriorTime) r.prior[7] -= origin_;
  // Far from the origin the difference leaves the double range.
  if (!std::isfinite(r.prior[7])) r.prior[7] = kNoPriorTime;
  std::copy(r.prior, r.prior + 8, prior);
  return true;
}

bool WriteFrameRecord(const std::string& name, const CVD::BasicImage<u8>& grey, f64 time,
                      const std::vector<IMUSample>& imu, const f64 prior[8]) {
  std::vector<u8> bytes;
  const auto put = [&bytes](const auto& v) {
    const u8* p = reinterpret_cast<const u8*>(&v);
    bytes.insert(bytes.end(), p, p + sizeof(v));
  };
  const i32 w = grey.size().x, h = grey.size().y, n = static_cast<i32>(2 * imu.size());
  put(w);
  put(h);
  put(time);
  for (i32 y = 0; y < h; ++y) bytes.insert(bytes.end(), grey[y], grey[y] + w);
  put(n);
  for (const IMUSample& s : imu) {
    put(i32{0});
    for (const f64 a : s.acceleration) put(a / -9.81);
    put(s.time);
    put(i32{1});
    for (const f64 r : s.rotationRate) put(r);
    put(s.time);
  }
  const bool hasPrior = prior[7] != kNoPriorTime;
  for (int i = 0; i < 4; ++i) put(prior[i]);
  for (int i = 4; i < 7; ++i) put(hasPrior ? -prior[i] : prior[i]);
  put(hasPrior ? prior[7] : -1.0);
  FILE* f = std::fopen(name.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && written;
}

bool LoadImuFile(const std::string& name, f64* time, std::vector<IMUSample>& imu, f64 prior[8]) {
  FILE* f = std::fopen(name.c_str(), "r");
  if (f == nullptr) return false;
  // At 1 kHz a frame a second apart holds 1000 samples; far more is no IMU file.
  constexpr int kMaxSamples = 1 << 20;
  f64 frameTime = 0.0, newPrior[8];
  int n = 0;
  bool ok = std::fscanf(f, "%lf %d", &frameTime, &n) == 2 && n >= 0 && n <= kMaxSamples;
  if (ok) imu.resize(static_cast<size_t>(n));
  for (int i = 0; ok && i < n; ++i) {
    IMUSample& s = imu[i];
    ok = std::fscanf(f, "%lf %lf %lf %lf %lf %lf %lf", &s.acceleration[0], &s.acceleration[1],
                     &s.acceleration[2], &s.rotationRate[0], &s.rotationRate[1], &s.rotationRate[2],
                     &s.time) == 7;
  }
  ok = ok &&
       std::fscanf(f, "%lf %lf %lf %lf %lf %lf %lf %lf", &newPrior[0], &newPrior[1], &newPrior[2],
                   &newPrior[3], &newPrior[4], &newPrior[5], &newPrior[6], &newPrior[7]) == 8;
  std::fclose(f);
  if (!ok) return false;
  // Values that are not finite are nothing a tracker can weigh: a NaN prior
  // left every frame of a run without a pose.
  imu.erase(std::remove_if(imu.begin(), imu.end(), [](const IMUSample& s) { return !IsFinite(s); }),
            imu.end());
  if (IsUsablePrior(newPrior))
    NormalisePriorQuaternion(newPrior, newPrior);
  else
    newPrior[7] = kNoPriorTime;
  *time = frameTime;
  std::copy(newPrior, newPrior + 8, prior);
  return true;
}

bool LoadMarkerFile(const std::string& name, float marker[10]) {
  FILE* f = std::fopen(name.c_str(), "r");
  if (f == nullptr) return false;
  float values[10];
  int read = 0;
  while (read < 10 && std::fscanf(f, "%f", &values[read]) == 1) ++read;
  std::fclose(f);
  if (read < 10) {
    std::printf("Marker file '%s' holds %d of its 10 numbers: no marker\n", name.c_str(), read);
    return false;
  }
  std::copy(values, values + 10, marker);
  std::printf("Loaded '%s'\n", name.c_str());
  return true;
}
