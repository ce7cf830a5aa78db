#pragma once
// Small conversions of the inertial step: the rotation vector of a rotation,
// a solver camera state from the tracker's double record, the fixed mounting
// that turns an image rotation rate into a body rate, a pose prior with its
// gravity direction, and the deltas a frame's readings start or extend.
#include <array>
#include <cfloat>
#include <vector>

#include "la/Pose.h"
#include "optimization/CameraIMUState.h"
#include "optimization/IMUDelta.h"

// w with R = exp([w]x)^T (the project's transposed convention, So3Exp), |w|
// in [0, pi]. Near pi the axis comes from the symmetric part of R, where the
// skew part no longer carries it.
void RotationLog(const LA::AlignedMatrix3f& R, float w[3]);

// A solver camera state from 17 doubles (position, velocity, quaternion,
// biases, time) and its camera pose: the quaternion normalised with w >= 0
// (identity when it has no length), the rotation caches from it, the pose
// as given.
void LoadCameraStateFromDoubles(CameraIMUState& state, const f64* doubles, const CameraPose& pose);

// The body rate (x, y, z) of a rotation rate seen by the camera: the camera
// is mounted with its x along -body y, its y along -body x and its z along
// -body z, so the body rate is (-w_y, -w_x, -w_z).
void CameraRateToBodyRate(const float cameraRate[3], f64 bodyRate[3]);

// A host pose prior (quaternion, three doubles, time) as an attitude record:
// the middle three doubles become the gravity direction of its quaternion
// (the world z axis in the body), and it is carried from its time to `time`
// with the rotation rate; a null rate keeps its quaternion and time.
void CarryPosePrior(const f64 prior[8], const f64* rotationRate, f64 time, f64 out[8]);

// The longest time one reading may stand for. Readings come every 5-20 ms;
// a longer hole between them (frames lost with the readings they carried)
// would be integrated as if the last reading had held, and a 0.5 s hole
// put the next key frame 5 cm off.
constexpr f64 kLongestHeldReading = 0.1;  // seconds
// The time of the last reading held before a run's first.
constexpr f64 kNoReading = -DBL_MAX;
// Whether the readings, in time order, leave some moment of [begin, end]
// with no reading taken in the bound before it, `lastReading` being the
// last one held at `begin`. Readings stamped before `begin` (handed over
// late, with the next frame) count as held. With none held ever, the first
// reading stands for the moments before it, and no reading at all is a hole.
bool ReadingsLeaveAHole(const std::vector<IMUSample>& samples, f64 lastReading, f64 begin, f64 end);

// A frame's delta from `previous` over its readings (IMUDelta::Initialize),
// and an earlier delta extended over them (IMUDelta::Integrate);
// `lastReading` is the time of the reading `previous` holds. A frame whose
// span leaves a hole from that reading on (a visual-only run, which has no
// reading at all, or readings lost with frames) only carries the last
// accelerations on, which says nothing of the motion: the delta loses its
// translation, and a delta that lost it once stays without it however far
// it is extended. A frame that brought no readings within the bound of one
// (readings handed over with the next frame, or a frame delivered twice)
// holds the last reading, as any frame does up to its first. Its
// rotation weighs as a held gyroscope reading does, or not at all where
// `unweighedRates` says the rates come from images that read a sideways move
// as a turn (TrackerOptions::ImageRatesWeighNothing): held to them, the
// frames turned with the images instead of moving.
void StartFrameDelta(const std::vector<IMUSample>& samples, const IMUSample& previous,
                     f64 lastReading, f64 time, bool unweighedRates, IMUDelta& delta);
void ExtendFrameDelta(const std::vector<IMUSample>& samples, const IMUSample& previous,
                      f64 lastReading, f64 time, bool unweighedRates, IMUDelta& delta);
// The time of the last reading a frame holds after `samples`, from the
// one the frame before held.
f64 LastReadingTime(const std::vector<IMUSample>& samples, f64 heldBefore);

// Fewest frames whose motion is evidence of the map's unit.
constexpr u32 kMinUnitFrames = 10;

// Frames since one key frame as evidence of the map's unit in metres: their
// body positions p (map units) and the readings' displacement a from the key
// frame (metres, world axes) at times t since it. Where the key frame stands
// and how fast it moved are not known, so each axis of a loses its best line
// in t; what is left is the motion's departure from uniform motion, which
// the readings measure in metres and tracking in map units. xy sums its
// products with p (the line falls out of them), xx its squares. False, with
// both 0, for fewer than kMinUnitFrames frames, times that do not spread or
// sums that overflow.
bool InertialUnitEvidence(const f64* t, const std::array<f64, 3>* p, const std::array<f64, 3>* a,
                          u32 n, f64& xy, f64& xx);
