// Anchoring of the first key frame to the marker sheet: the camera at the
// configured height in front of the sheet, the sheet's corners as fixed
// points and the frame's other points on the sheet's plane.
#include <algorithm>
#include <cmath>

#include "la/Pose.h"
#include "optimization/IMUParameters.h"
#include "tracker/MapInitialisation.h"

namespace {

// Beyond 45 degrees between the optical axis and the map's z axis the sheet
// hangs on a wall in front of the camera.
constexpr f32 kCos45 = 0.70710677f;
// Below this the centre's 2 x 2 system, or a ray against the plane, is
// taken as singular.
constexpr f32 kSingular = 1e-6f;
constexpr u8 kPlacedFlags = kTrackSolved | kTrackInlier | kTrackImu;
// Elements 8 and 9 of the caller's marker record: the sheet's sides.
constexpr int kMarkerRecordSize = 10;

bool IsFinitePose(const CameraPose& pose) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c)
      if (!std::isfinite(pose.m[r][c])) return false;
  return true;
}

void SetCorner(f32* corner, f32 x, f32 y, f32 z) {
  corner[0] = x, corner[1] = y, corner[2] = z;
}

}  // namespace

bool ComputeMarkerLayout(const CameraPose& pose, f32 height, f32 sideA, f32 sideB,
                         MarkerLayout& layout) {
  if (!(sideA > 0.0f) || !(sideB > 0.0f) || !std::isfinite(sideA) || !std::isfinite(sideB) ||
      !std::isfinite(height) || IsPoseInvalid(pose) || !IsFinitePose(pose))
    return false;
  const auto& R = pose.m;
  const f32 a = 0.5f * sideA, b = 0.5f * sideB, h = height;
  // The map origin lies on the optical axis: rows 0 and 1 of R are
  // orthogonal to the centre, one coordinate of which is the height.
  layout.wall = std::fabs(R[2][2]) <= kCos45;
  if (layout.wall) {
    // c = (-h, cy, cz): R01 cy + R02 cz = R00 h, R11 cy + R12 cz = R10 h.
    const f32 det = R[0][1] * R[1][2] - R[0][2] * R[1][1];  // +-R20
    if (!(std::fabs(det) >= kSingular)) return false;
    const f32 u = R[0][0] * h, v = R[1][0] * h;
    SetCorner(layout.centre, -h, (u * R[1][2] - R[0][2] * v) / det,
              (R[0][1] * v - u * R[1][1]) / det);
    const f32 plane[4] = {-1.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < 4; ++i) layout.plane[i] = plane[i];
    SetCorner(layout.corners[0], 0.0f, b, a);
    SetCorner(layout.corners[1], 0.0f, b, -a);
    SetCorner(layout.corners[2], 0.0f, -b, -a);
    SetCorner(layout.corners[3], 0.0f, -b, a);
  } else {
    // c = (cx, cy, h): R00 cx + R01 cy = -R02 h, R10 cx + R11 cy = -R12 h.
    const f32 det = R[0][0] * R[1][1] - R[0][1] * R[1][0];  // +-R22
    if (!(std::fabs(det) >= kSingular)) return false;
    const f32 u = -R[0][2] * h, v = -R[1][2] * h;
    SetCorner(layout.centre, (u * R[1][1] - R[0][1] * v) / det, (R[0][0] * v - u * R[1][0]) / det,
              h);
    const f32 plane[4] = {0.0f, 0.0f, 1.0f, 0.0f};
    for (int i = 0; i < 4; ++i) layout.plane[i] = plane[i];
    SetCorner(layout.corners[0], a, b, 0.0f);
    SetCorner(layout.corners[1], -a, b, 0.0f);
    SetCorner(layout.corners[2], -a, -b, 0.0f);
    SetCorner(layout.corners[3], a, -b, 0.0f);
  }
  for (const f32 x : layout.centre)
    if (!std::isfinite(x)) return false;
  return true;
}

MapStart MapInitialisation::WeakStart() const {
  MapStart start;
  start.ok = true;
  // The map's unit is what puts the scene at the initial depth: the key-frame
  // spacing follows it, or a deeper guess would ask for key frames that many
  // times closer.
  start.sceneScale = kAnchoredSceneScale * c_.options.initialDepth;
  start.depthScale = kAnchoredSceneScale / c_.options.initialDepth;
  start.recovering = true;
  return start;
}

u32 MapInitialisation::FindMarkerTracks() const {
  const MapWorkingCopy& w = c_.mapView.Working();
  const size_t tracks =
      std::min({w.trackFlags.size(), static_cast<size_t>(w.points.Size()), w.trackPlanes.size()});
  for (size_t t = 0; t < tracks; ++t) {
    if (!(w.trackFlags[t] & kTrackMarker)) continue;
    if (t + kMarkerCorners > tracks) return kNone32;
    for (size_t i = 1; i < kMarkerCorners; ++i)
      if (!(w.trackFlags[t + i] & kTrackMarker)) return kNone32;
    return static_cast<u32>(t);
  }
  return kNone32;
}

MapStart MapInitialisation::AnchorToMarker(u16 frame, const float* marker) {
  // A failed detection on the host's side leaves -1 for the sides.
  if (marker == nullptr || !c_.ring.Contains(frame)) return WeakStart();
  for (int i = 0; i < kMarkerRecordSize; ++i)
    if (!std::isfinite(marker[i])) return WeakStart();
  TrackerFrame& f = c_.ring[frame];
  CameraPose pose = f.pose.slot[kVisual];
  MarkerLayout layout;
  const u32 first = FindMarkerTracks();
  if (first == kNone32 ||
      !ComputeMarkerLayout(pose, IMU_INITIAL_HEIGHT, marker[8], marker[9], layout))
    return WeakStart();

  SetCameraCentre(pose, layout.centre);
  float scratch[8];
  f.pose.slot[kVisual] = pose;
  CameraToPose(f.state.record[kVisual], c_.camera.bodyToCamera, pose, scratch);

  // One plane: the floor is the ground; a wall is not, or the ground
  // alignment would turn the gravity-aligned world onto it.
  MapWorkingCopy& w = c_.mapView.Working();
  w.planes.Resize(1);
  for (int i = 0; i < 4; ++i) w.planes[0].v[i] = layout.plane[i];
  w.planeFlags.assign(1, layout.wall ? 0 : kPlaneGround);
  for (u32 i = 0; i < kMarkerCorners; ++i) {
    MapPoint& X = w.points[first + i];
    for (int k = 0; k < 3; ++k) X.v[k] = layout.corners[i][k];
    X.v[3] = 1.0f;
    w.trackFlags[first + i] |= kPlacedFlags;
    w.trackPlanes[first + i] = 0;
  }
  f.inlierCount = static_cast<u16>(f.inlierCount + kMarkerCorners);
  f.unsolvedCount =
      static_cast<u16>(f.unsolvedCount > kMarkerCorners ? f.unsolvedCount - kMarkerCorners : 0);
  runIso_(frame);
  f.state.record[kPredicted] = f.state.record[kVisual];
  f.pose.slot[kPredicted] = f.pose.slot[kVisual];

  PlaceOnPlane(f, layout.plane, first);
  f.inlierCount = static_cast<u16>(c_.mapView.CountInlierMapMatches(f));
  f.unsolvedCount = static_cast<u16>(c_.mapView.CountUnsolvedMapMatches(f));

  const CameraPose& anchored = f.pose.slot[kVisual];
  if (w.keyFramePoses.Size() > 0) w.keyFramePoses[0] = anchored;
  if (w.keyFrameStates.Size() > 0) w.keyFrameStates[0] = f.state.record[kVisual];
  if (w.cameraCenters.Size() > 0) {
    CameraCentre(anchored, w.cameraCenters[0].v);
    w.cameraCenters[0].v[3] = 1.0f;
  }
  c_.mapView.Map().SetAnchoredStructure(kAnchoredSceneScale, f.state.record[kVisual], anchored,
                                        w.points, w.planes, w.trackFlags, w.planeFlags,
                                        w.trackPlanes);
  c_.mapView.ForgetOwnPoints();
  c_.mapView.Synchronize();

  // The anchored start has a ground and the metre of the sheet's layout.
  MapStart start = WeakStart();
  start.sceneScale = kAnchoredSceneScale;
  start.recovering = false;
  start.anchored = true;
  return start;
}

void MapInitialisation::PlaceOnPlane(const TrackerFrame& f, const f32 plane[4], u32 firstMarker) {
  MapWorkingCopy& w = c_.mapView.Working();
  const CameraPose& pose = f.pose.slot[kVisual];
  f32 c[3];
  CameraCentre(pose, c);
  const f32 nc = plane[0] * c[0] + plane[1] * c[1] + plane[2] * c[2] + plane[3];
  const size_t tracks =
      std::min({w.trackFlags.size(), static_cast<size_t>(w.points.Size()), w.trackPlanes.size()});
  for (const auto& list : f.mapMatches) {
    for (const MapMatch& m : list) {
      if (m.track >= tracks || (m.track >= firstMarker && m.track < firstMarker + kMarkerCorners))
        continue;
      // d = R^T (x, y, 1), normalised.
      f32 d[3];
      for (int i = 0; i < 3; ++i) d[i] = pose.m[0][i] * m.nx + pose.m[1][i] * m.ny + pose.m[2][i];
      const f32 norm = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      if (!(norm > 0.0f)) continue;
      for (f32& x : d) x /= norm;
      const f32 nd = plane[0] * d[0] + plane[1] * d[1] + plane[2] * d[2];
      if (!(std::fabs(nd) > kSingular)) continue;  // along the plane
      const f32 lambda = -nc / nd;
      if (!(lambda > 0.0f) || !std::isfinite(lambda)) continue;  // behind the camera
      MapPoint& X = w.points[m.track];
      for (int i = 0; i < 3; ++i) X.v[i] = c[i] + lambda * d[i];
      X.v[3] = 1.0f;
      w.trackFlags[m.track] |= kPlacedFlags;
      w.trackPlanes[m.track] = 0;
    }
  }
}
