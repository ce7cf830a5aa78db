#pragma once
// The frame readers of a disk run: an image file with an optional per-frame
// IMU text file, or one binary frame record carrying the pixels, the IMU
// samples and a pose prior together; and the marker observation of the first
// frame.
#include <cvd/image.h>
#include <cvd/rgb.h>

#include <cfloat>
#include <string>
#include <vector>

#include "app/ImuSequence.h"
#include "la/IMUSample.h"

// The working frame of a disk run.
struct DiskFrame {
  CVD::Image<u8> grey;
  CVD::Image<CVD::Rgb<u8>> colour;
  f64 time = 0.0;
};

// A pose prior is eight doubles: quaternion x, y, z, w, position, time. No
// prior: its time is this.
constexpr f64 kNoPriorTime = DBL_MAX;
// A prior the tracker can take: all eight values finite and a quaternion
// whose squared length is a normal double (zero, or components so far from
// 1 that their squares overflow or underflow, give no rotation).
bool IsUsablePrior(const f64 prior[8]);
// A usable prior's quaternion as the tracker takes it, the same rotation of
// unit length with w >= 0: a host's may be off either way.
void NormalisePriorQuaternion(const f64 in[4], f64 out[4]);
// The largest image side a frame record may declare.
constexpr i32 kMaxRecordSide = 16384;

// Loads an image file into the colour image and its grey conversion; the
// time is the time of day (the caller stamps the frame). False when the file
// does not load, with the frame unchanged.
bool LoadImageFrame(const std::string& name, DiskFrame& frame);

// Reads binary frame records. Accelerations in g become m/s^2 (x -9.81), a
// sample missing one half takes the last value seen of it, samples of equal
// time merge (the later wins), and every time is taken relative to the
// earliest time seen so far. The reader keeps those between records.
class FrameRecordReader {
 public:
  // False, with nothing changed, when the file cannot be opened, is not one
  // complete record, declares a side outside 1..16384 or a size other than
  // the first record's, or more samples than its bytes hold. Samples with a
  // non-finite value or time are dropped; a prior with a zero or non-finite
  // quaternion, position or time counts as none, as does one whose squared
  // quaternion length or distance in time from the origin leaves the double
  // range.
  bool LoadFrameRecord(const std::string& name, DiskFrame& frame, std::vector<IMUSample>& imu,
                       f64 prior[8]);
  // Keeps the readings of a record the run passes over (image_step) for the
  // next record taken, so that its samples span the whole time since the
  // last frame tracked. False, keeping nothing, when LoadFrameRecord would
  // refuse the file.
  bool CarryReadings(const std::string& name);

 private:
  struct Record {
    i32 width = 0, height = 0;
    f64 time = 0.0;
    const u8* pixels = nullptr;  // into bytes_
    f64 prior[8] = {};
  };
  // Reads and checks a whole record; its readings go to readings_.
  bool ParseRecord(const std::string& name, Record& out);

  std::vector<u8> bytes_;
  std::vector<ImuReading> readings_, carried_;
  ImuSequenceBuilder builder_;
  f64 origin_ = 0.0;
  bool started_ = false;
  i32 width_ = 0, height_ = 0;
};

// Reads a per-frame IMU text file: frame time, sample count, the samples
// (accelerometer, gyroscope, time) and the prior, all as stored, but for
// what no tracker can take: samples with a non-finite value or time are
// dropped, a prior that is not usable (IsUsablePrior) counts as none and a
// usable one's quaternion is made unit with w >= 0. False when the file
// cannot be opened or any field is missing or malformed (imu may then have
// changed; time and prior have not).
bool LoadImuFile(const std::string& name, f64* time, std::vector<IMUSample>& imu, f64 prior[8]);

// Turns a frame's readings into the axes the calibration's rotation M (row
// major) gives them, v := M v, and its prior's attitude with them: the body
// the attitude describes is the one the readings are read in, so q becomes
// the q'' with H(q'') = H(q) M^T. A frame without a prior keeps none.
void TurnReadings(const f64 M[9], std::vector<IMUSample>& imu, f64 prior[8]);

// Writes a frame record the reader takes back: each sample as an
// accelerometer reading in g (divided by -9.81) and a gyroscope reading of
// the same time, and the tracker's prior as the host gives it (position
// negated back; no prior written with time -1). False when the file cannot
// be written whole.
bool WriteFrameRecord(const std::string& name, const CVD::BasicImage<u8>& grey, f64 time,
                      const std::vector<IMUSample>& imu, const f64 prior[8]);

// The marker observation: ten numbers (four corner pairs, the sheet's two
// sides). False, with a message, when the file opens but holds fewer.
bool LoadMarkerFile(const std::string& name, float marker[10]);
