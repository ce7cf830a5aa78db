#pragma once
// Records of the tracker's per-frame ISO solve: the state of its sliding
// window (ISOState) and the measurements with their weights (ISOProblem),
// including the single-precision inertial delta records of the window pairs
// (ISODelta) and of pairs that start at a fixed reference camera
// (ISOFixedDelta). The tracker refills both for every frame; arrays only grow.
#include <utility>
#include <vector>

#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"
#include "optimization/CameraIMUState.h"
#include "optimization/IBAProblem.h"
#include "optimization/IMUDelta.h"

struct ISOState {
  // The same head as the bundle adjustment's state: extrinsic quaternion
  // (camera from body) in floats 0-3, translation in 4-6, three words
  // carried along.
  alignas(16) f32 extrinsic[7];
  u32 extra[3];
  AlignedArray<CameraIMUState> referenceCameras;  // outside the window; never changed
  AlignedArray<CameraIMUState> windowCameras;     // the variables
  std::vector<u32> referenceIds, windowIds;       // label log lines only

  // dst = src; arrays grow only when too small.
  static void Copy(ISOState& dst, const ISOState& src);
};

// ISODelta lanes (see ISODelta::Set).
namespace ISOLane {
enum : int {
  kDp = 0,
  kDv = 1,
  kDq = 2,
  kBa = 3,
  kBg = 4,
  kDt = 5,
  kInvDt = 6,
  kDpDba = 7,
  kDpDbg = 10,
  kDvDba = 13,
  kDvDbg = 16,
  kDrDbg = 19,
  kDrDbgT = 22,
  kWp = 25,
  kWv = 26,
  kWr = 27,
  kWvs = 28,
  kWvr = 29,
  kWsa = 30,
  kWsg = 31,
  kWpDt = 32,
  kWpv = 33,
  kWdpDba = 34,
  kWdpDbg = 37,
  kWdvDba = 40,
  kWdvDbg = 43,
  kWdrDbg = 46,
  kHaa = 49,
  kHag = 52,
  kHgg = 55,
  kWvrDt = 58,
  kCount = 59
};
}  // namespace ISOLane

// One window pair's inertial delta in float lanes with its weights folded in.
struct alignas(16) ISODelta {
  float lane[ISOLane::kCount][4];

  // Fills every lane from a preintegrated delta and the builder's weight s,
  // in double, each value rounded to float once; the lanes shared with
  // IBADelta are IBADelta::Set's. Lanes that divide by dt are zero for a
  // delta shorter than kMinimumDeltaTime (or of non-finite length).
  // unitsPerMetre as for IBADelta::Set.
  static void Set(ISODelta& out, const IMUDelta& in, f64 s, f64 unitsPerMetre);
};

// ISOFixedDelta lanes.
namespace ISOFixedLane {
enum : int {
  kCp = 0,
  kCv = 1,
  kO = 2,
  kCr = 3,
  kDq = 4,
  kInvDt = 5,
  kWp = 6,
  kWv = 7,
  kWr = 8,
  kWvs = 9,
  kWvr = 10,
  kWsa = 11,
  kWsg = 12,
  kWvrDt = 13,
  kCount = 14
};
}  // namespace ISOFixedLane

// A delta from a fixed reference camera i to a window camera j: the terms
// that would use camera i's velocity and biases hold constants instead.
struct alignas(16) ISOFixedDelta {
  float lane[ISOFixedLane::kCount][4];

  // Freezes camera i of an ISODelta at the given reference camera state, so
  // that the fixed pair's residuals equal the window pair's at that state.
  static void Set(ISOFixedDelta& out, const ISODelta& delta, const CameraIMUState& reference);
  // The gyroscope's part of a delta (weight 1) frozen at the reference: the
  // rotation and the gyroscope bias's smoothness; every term of the
  // accelerometer and of the velocity weighs nothing.
  static void SetRotation(ISOFixedDelta& out, const IMUDelta& delta,
                          const CameraIMUState& reference);
};

template <class Record>
struct ISODeltaList {
  u32 count = 0;
  AlignedArray<Record> records;
  std::vector<std::pair<u32, u32>> pairs;  // (camera i, camera j)
};

struct ISOProblem {
  f32 scale = 1.0f;                         // feature weight factor, squared-pixel scale of the log
  AlignedArray<IBAMeasurement> features3D;  // point index, normalised x, y
  const float (*points)[4] = nullptr;       // (x, y, z, 1) records, not owned
  std::vector<u32> feature3DStarts;         // 4 x cameras + 1; group 4 c + level
  AlignedArray<LA::AlignedVector4f> feature3DWeights;  // one broadcast lane per level
  // 2-D features (x_ref, y_ref, x_obs, y_obs): the solver supports none.
  AlignedArray<LA::AlignedVector4f> features2D;
  std::vector<u32> feature2DStarts;
  AlignedArray<LA::AlignedVector4f> feature2DWeights;
  std::vector<std::pair<u32, u32>> measurementPairs;
  std::vector<u8> cameraFlags;          // counted for the log only
  ISODeltaList<ISODelta> deltas1;       // window camera i -> reference camera j
  ISODeltaList<ISOFixedDelta> deltas2;  // reference camera i -> window camera j
  ISODeltaList<ISODelta> deltas3;       // window i -> window j, pairs sorted
  f32 biasWeights[2] = {0.0f, 0.0f};    // accelerometer, gyroscope
  AlignedArray<IBAGravity> gravity;
  std::vector<u32> gravityCameras;  // window camera of each record
  // Without reference pairs that weigh a motion the first camera's velocity
  // is held, as the frames before it took their knowledge of it along when
  // they left the window. A first camera that had no frame before it (it
  // started at rest, as a guess) has lost nothing, and its velocity is solved
  // with the rest.
  bool holdFirstVelocity = true;

  // Whether a pair with a reference camera weighs a position, a velocity or
  // a velocity term; a pair that ties only rotations leaves the window's
  // motion where it was.
  bool ReferencesWeighMotion() const;
};
