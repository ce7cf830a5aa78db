#pragma once
// Conventions for poses, rotations, quaternions and intrinsics, and the small
// conversions between them.
//
// A camera pose is [R | t] with x_cam = R X + t. Quaternions are (x, y, z, w),
// scalar last; products are Hamilton products; R(q) is the transpose of
// Hamilton's rotation matrix of q, so that R(p (x) q) = R(q) R(p).
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"

// 3 rows of 4 floats: rotation in columns 0-2, translation in column 3. A pose
// whose first float is FLT_MAX is unset.
struct alignas(16) CameraPose : public LA::AlignedMatrix3f {};

bool IsPoseValid(const CameraPose& pose);
bool IsPoseInvalid(const CameraPose& pose);
// Unset in every entry, so that a pose handed out or written to a file as
// "no pose" carries no left-over numbers.
void SetPoseInvalid(CameraPose& pose);

// Body state of the inertial code, double precision. R(q) maps world
// directions into the body frame.
struct IMUState {
  double position[3];
  double velocity[3];
  double quaternion[4];
  double accelerometerBias[3];
  double gyroscopeBias[3];
  double time;
};
static_assert(sizeof(IMUState) == 136, "IMUState is 17 doubles");

// Camera-to-body mounting: x_cam = R(q) x_body + p.
struct CameraOffset {
  double quaternion[4];
  double position[3];
};

// Camera intrinsics in the eleven four-float groups SIMD code loads.
struct alignas(16) Intrinsic {
  float fxfy[4];      // (fx, fy, fx, fy)
  float cxcy[4];      // (cx, cy, cx, cy)
  float cxcxcycy[4];  // (cx, cx, cy, cy)
  float ifxfy[4];     // (1/fx, 1/fy, 1/fx, 1/fy)
  float fx[4];
  float fy[4];
  float cx[4];
  float cy[4];
  float ifx[4];
  float ify[4];
  float misc[4];  // (fx fy, 1/(fx fy), cx/fx, cy/fy)

  // Fills all eleven groups from the four numbers.
  void Set(float fx, float fy, float cx, float cy);
  // In place: x = fx x + cx, y = fy y + cy.
  void ApplyToPoints(AlignedArray<LA::Vector2<float>>& points) const;
};

namespace LA {

// R = R(q); the fourth floats of R's rows are untouched.
void QuaternionToRotationMatrix(const float* q, AlignedMatrix3f& R);
// out = b (x) a; scratch holds 4 floats. out may alias a or b.
void MultiplyQuaternions(const float* a, const float* b, float* out, float* scratch);
// out = conj(b) (x) a; scratch holds 4 floats.
void RelativeQuaternion(const float* a, const float* b, float* out, float* scratch);
// Rotation error of a against b: 2 vec(conj(b) (x) a), negated unless
// a . b > 0; dot receives a . b.
void QuaternionErrorVector(const float* a, const float* b, float* out, float& dot);
// out = normalise(q + 1/2 q (x) (d, 0)), kept in the hemisphere w >= 0.
void UpdateQuaternion(const float* d, const float* q, float* out);

}  // namespace LA

// The same R(q) as LA::QuaternionToRotationMatrix.
void QuaternionToRotation(LA::AlignedMatrix3f& R, const float* q, float* scratch);
// Unit q with R(q) = R (Shepperd's method).
void RotationToQuaternion(const LA::AlignedMatrix3f& R, float* q);
// out = b (x) a, in double, stored as float.
void ApplyQuaternionOffset(const double* a, const double* b, float* out);
// out = b (x) conj(a), in double.
void RemoveQuaternionOffset(const double* a, const float* b, double* out);

// Camera pose of a body state: x_cam = R_off R_state (X - p_state) + p_off.
void PoseToCamera(const IMUState& state, const CameraOffset& offset, CameraPose& pose,
                  float* scratch);
// Sets the state's quaternion and position from a camera pose.
void CameraToPose(IMUState& state, const CameraOffset& offset, const CameraPose& pose,
                  float* scratch);
// Single-precision PoseToCamera over the solvers' offset record (q_off in
// floats 0-3, p_off in 4-6); scratch (8 floats) receives q_cam then t.
void PoseToCameraF(const float* offset, const float* position, const float* quaternion,
                   CameraPose& pose, float* scratch);
// out = second after first: x = R2 (R1 X + t1) + t2; scratch holds 4 floats.
// out may alias either input.
void ComposePose(const CameraPose& first, const CameraPose& second, CameraPose& out,
                 float* scratch);
// Inverse of y = s (R x + t), pose followed by its scale vector (s, s, s, 1).
void InvertSimilarityTransform(const float* transformation, float* out, float* scratch);
// Rotation about a unit axis by an angle in [0, pi].
void AxisAngleToRotation(LA::AlignedMatrix3f& R, const float* axis, float angle);
// R = exp([w]x); the identity below |w|^2 = 1e-10.
void RotationVectorToRotation(LA::AlignedMatrix3f& R, float wx, float wy, float wz, float* scratch);
// out maps camera-0 coordinates to camera-1 coordinates: R = R1 R0^T,
// t = t1 - R t0 (out = P1 P0^-1 for world-to-camera poses).
void ComputeRelativePose(const CameraPose& P0, const CameraPose& P1, CameraPose& out);
// The camera centre -R^T t of a pose.
void CameraCentre(const CameraPose& pose, float centre[3]);
// Moves a pose's camera to centre, keeping its rotation: t = -R centre.
void SetCameraCentre(CameraPose& pose, const float centre[3]);
