#include "tracker/EarlyMapSolve.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "la/GroupStarts.h"
#include "la/SmallSolvers.h"
#include "optimization/IMUDelta.h"

namespace {

constexpr int kPoseSize = 12;  // R row-major, then t
constexpr f64 kInfinity = std::numeric_limits<f64>::infinity();
constexpr f64 kNearestDepth = 1e-6;

// y = R x + t of a pose record.
void Transform(const f64* pose, const f64* x, f64* y) {
  for (int r = 0; r < 3; ++r)
    y[r] = pose[3 * r] * x[0] + pose[3 * r + 1] * x[1] + pose[3 * r + 2] * x[2] + pose[9 + r];
}

// The point at inverse distance `inverse` along `direction` from `centre`.
void PointAt(const f64* centre, const f64* direction, f64 inverse, f64* X) {
  for (int k = 0; k < 3; ++k) X[k] = centre[k] + direction[k] / inverse;
}

// The pose turned by w and moved by v in the camera's frame: R' = E R,
// t' = E t + v, E = exp([w]x).
void UpdatePose(const f64* pose, const f64* step, f64* out) {
  LA::AlignedMatrix3f E;
  RotationVectorToRotation(E, static_cast<f32>(step[0]), static_cast<f32>(step[1]),
                           static_cast<f32>(step[2]), nullptr);
  for (int r = 0; r < 3; ++r) {
    const f64 e[3] = {E.m[r][0], E.m[r][1], E.m[r][2]};
    for (int c = 0; c < 3; ++c)
      out[3 * r + c] = e[0] * pose[c] + e[1] * pose[3 + c] + e[2] * pose[6 + c];
    out[9 + r] = e[0] * pose[9] + e[1] * pose[10] + e[2] * pose[11] + step[3 + r];
  }
}

f64 Huber(f64 squared, f64 bound) {
  const f64 e = std::sqrt(squared);
  return e <= bound ? squared : 2.0 * bound * e - bound * bound;
}

f64 MedianOf(std::vector<f64>& scratch, const std::vector<f64>& values, size_t n) {
  scratch.assign(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n));
  std::nth_element(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(n / 2),
                   scratch.end());
  return scratch[n / 2];
}

}  // namespace

bool EarlyMapSolve::Solve(u16 frame) {
  if (!Collect(frame)) return false;
  f64 cost = Cost(poses_, inverse_);
  if (!std::isfinite(cost)) return false;
  f64 lambda = 1e-3;
  bool moved = false;
  for (u32 iteration = 0; iteration < kIterations; ++iteration) {
    Linearise();
    bool improved = false;
    for (int attempt = 0; attempt < 8 && !improved; ++attempt) {
      const f64 trial = SolveStep(lambda) ? Cost(trialPoses_, trialInverse_) : kInfinity;
      if (trial < cost) {
        poses_.swap(trialPoses_);
        inverse_.swap(trialInverse_);
        cost = trial;
        lambda *= 0.3;
        improved = moved = true;
      } else {
        lambda *= 10.0;
      }
    }
    if (!improved) break;
  }
  return moved && Write(frame);
}

bool EarlyMapSolve::Collect(u16 frame) {
  const TrackerMapView& view = c_.mapView;
  const MapWorkingCopy& w = view.Working();
  if (view.KeyFrameCount() < 1 || view.KeyFrameCount() > kMaxKeyFrames ||
      w.keyFramePoses.Size() < 1 || !c_.ring.Contains(frame))
    return false;
  const TrackerFrame& current = c_.ring[frame];
  if (current.keyFrame != kNone16 || IsPoseInvalid(current.pose.slot[kVisual]) ||
      IMUDelta::HasTranslation(current.delta[kFromKeyFrame]))
    return false;
  const CameraPose& key = w.keyFramePoses[0];
  if (IsPoseInvalid(key)) return false;
  float keyCentre[3];
  CameraCentre(key, keyCentre);
  for (int k = 0; k < 3; ++k) centre_[k] = keyCentre[k];
  focal_ = std::sqrt(static_cast<f64>(c_.camera.intrinsic[0].misc[0]));

  slots_.assign(1, frame);
  for (u16 s = 0; s < c_.ring.Size(); ++s) {
    const TrackerFrame& g = c_.ring[s];
    if (s != frame && g.keyFrame == kNone16 && IsPoseValid(g.pose.slot[kVisual]))
      slots_.push_back(s);
  }
  const u32 frames = static_cast<u32>(slots_.size());
  poses_.resize(static_cast<size_t>(frames) * kPoseSize);
  for (u32 i = 0; i < frames; ++i) {
    const CameraPose& P = c_.ring[slots_[i]].pose.slot[kVisual];
    f64* pose = &poses_[static_cast<size_t>(i) * kPoseSize];
    for (int r = 0; r < 3; ++r) {
      for (int k = 0; k < 3; ++k) pose[3 * r + k] = P.m[r][k];
      pose[9 + r] = P.m[r][3];
    }
  }

  const u32 trackCount = static_cast<u32>(std::min<size_t>(w.trackFlags.size(), w.points.Size()));
  // Entries are kNone32 between calls; only new tracks need setting.
  if (pointIndex_.size() < trackCount) pointIndex_.resize(trackCount, kNone32);
  tracks_.clear();
  directions_.clear();
  inverse_.clear();
  observations_.clear();
  bool marker = false;
  for (u32 i = 0; i < frames && !marker; ++i) {
    for (const auto& list : c_.ring[slots_[i]].mapMatches) {
      for (const MapMatch& m : list) {
        if (m.track >= trackCount) continue;
        const u8 flags = w.trackFlags[m.track];
        if (flags & kTrackMarker) marker = true;
        if (!(flags & kTrackSolved) || marker) continue;
        u32& p = pointIndex_[m.track];
        if (p == kNone32) {
          const MapPoint& X = w.points[m.track];
          const f64 d[3] = {X.v[0] - centre_[0], X.v[1] - centre_[1], X.v[2] - centre_[2]};
          const f64 distance = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
          if (!(distance > 1e-9) || !std::isfinite(distance)) continue;
          p = static_cast<u32>(tracks_.size());
          tracks_.push_back(m.track);
          for (const f64 x : d) directions_.push_back(x / distance);
          inverse_.push_back(1.0 / distance);
        }
        observations_.push_back({i, p, m.nx, m.ny});
      }
    }
  }
  for (const u32 t : tracks_) pointIndex_[t] = kNone32;
  const u32 points = static_cast<u32>(tracks_.size());
  if (marker || points < kMinPoints) return false;

  starts_.assign(static_cast<size_t>(points) + 1, 0);
  for (const Observation& o : observations_) ++starts_[o.point + 1];
  GroupStarts(starts_, cursors_);
  grouped_.resize(observations_.size());
  for (const Observation& o : observations_) grouped_[cursors_[o.point]++] = o;

  median_ = MedianOf(scratch_, inverse_, points);
  const f64 sigma = kPriorShare * median_;
  priorWeight_ = 1.0 / (sigma * sigma);
  trialPoses_.resize(poses_.size());
  trialInverse_.resize(points);
  return true;
}

f64 EarlyMapSolve::Cost(const std::vector<f64>& poses, const std::vector<f64>& inverse) const {
  f64 cost = 0.0;
  for (const Observation& o : grouped_) {
    f64 X[3], Y[3];
    PointAt(centre_, &directions_[3 * o.point], inverse[o.point], X);
    Transform(&poses[static_cast<size_t>(o.frame) * kPoseSize], X, Y);
    if (!(Y[2] > kNearestDepth)) return kInfinity;
    const f64 ex = focal_ * (Y[0] / Y[2] - o.x), ey = focal_ * (Y[1] / Y[2] - o.y);
    cost += Huber(ex * ex + ey * ey, kHuberPixels);
  }
  for (size_t p = 0; p < inverse.size(); ++p) {
    const f64 d = inverse[p] - median_;
    cost += priorWeight_ * d * d;
  }
  return cost;
}

void EarlyMapSolve::Linearise() {
  const size_t n = 6 * slots_.size(), points = tracks_.size();
  frameBlock_.assign(n * n, 0.0);
  frameGradient_.assign(n, 0.0);
  pointDiagonal_.assign(points, 0.0);
  pointGradient_.assign(points, 0.0);
  coupling_.resize(6 * grouped_.size());
  for (size_t k = 0; k < grouped_.size(); ++k) {
    const Observation& o = grouped_[k];
    const f64* pose = &poses_[static_cast<size_t>(o.frame) * kPoseSize];
    const f64* direction = &directions_[3 * o.point];
    const f64 inverse = inverse_[o.point];
    f64 X[3], Y[3];
    PointAt(centre_, direction, inverse, X);
    Transform(pose, X, Y);
    f64* W = &coupling_[6 * k];
    std::fill(W, W + 6, 0.0);
    if (!(Y[2] > kNearestDepth)) continue;
    const f64 iz = 1.0 / Y[2];
    // d(pixels)/dY, rows u and v.
    const f64 P[2][3] = {{focal_ * iz, 0.0, -focal_ * Y[0] * iz * iz},
                         {0.0, focal_ * iz, -focal_ * Y[1] * iz * iz}};
    const f64 e[2] = {focal_ * (Y[0] * iz - o.x), focal_ * (Y[1] * iz - o.y)};
    const f64 norm = std::sqrt(e[0] * e[0] + e[1] * e[1]);
    const f64 weight = norm <= kHuberPixels ? 1.0 : kHuberPixels / norm;
    // dY/d(turn) = -[Y]x, dY/d(move) = I, dY/d(inverse) = -R direction / inverse^2.
    f64 J[2][6], Jd[2];
    f64 dY[3];
    for (int r = 0; r < 3; ++r)
      dY[r] = -(pose[3 * r] * direction[0] + pose[3 * r + 1] * direction[1] +
                pose[3 * r + 2] * direction[2]) /
              (inverse * inverse);
    for (int a = 0; a < 2; ++a) {
      const f64* p = P[a];
      J[a][0] = Y[1] * p[2] - Y[2] * p[1];  // p^T (-[Y]x) = (Y x p)^T
      J[a][1] = Y[2] * p[0] - Y[0] * p[2];
      J[a][2] = Y[0] * p[1] - Y[1] * p[0];
      J[a][3] = p[0];
      J[a][4] = p[1];
      J[a][5] = p[2];
      Jd[a] = p[0] * dY[0] + p[1] * dY[1] + p[2] * dY[2];
    }
    const size_t base = 6 * static_cast<size_t>(o.frame);
    for (int r = 0; r < 6; ++r) {
      f64* row = &frameBlock_[(base + r) * n + base];
      for (int c = 0; c <= r; ++c) row[c] += weight * (J[0][r] * J[0][c] + J[1][r] * J[1][c]);
      frameGradient_[base + r] -= weight * (J[0][r] * e[0] + J[1][r] * e[1]);
      W[r] = weight * (J[0][r] * Jd[0] + J[1][r] * Jd[1]);
    }
    pointDiagonal_[o.point] += weight * (Jd[0] * Jd[0] + Jd[1] * Jd[1]);
    pointGradient_[o.point] -= weight * (Jd[0] * e[0] + Jd[1] * e[1]);
  }
  for (size_t p = 0; p < points; ++p) {
    pointDiagonal_[p] += priorWeight_;
    pointGradient_[p] -= priorWeight_ * (inverse_[p] - median_);
  }
}

bool EarlyMapSolve::SolveStep(f64 lambda) {
  const size_t n = 6 * slots_.size(), points = tracks_.size();
  reduced_ = frameBlock_;
  reducedGradient_ = frameGradient_;
  for (size_t k = 0; k < n; ++k) reduced_[k * n + k] = reduced_[k * n + k] * (1.0 + lambda) + 1e-9;
  // Each point's observations couple the frames that see it: S -= W W^T / h.
  dampedDiagonal_.resize(points);
  for (size_t p = 0; p < points; ++p) {
    const f64 h = pointDiagonal_[p] * (1.0 + lambda) + 1e-12;
    dampedDiagonal_[p] = h;
    for (u32 a = starts_[p]; a < starts_[p + 1]; ++a) {
      const f64* Wa = &coupling_[6 * static_cast<size_t>(a)];
      const size_t ra = 6 * static_cast<size_t>(grouped_[a].frame);
      for (int r = 0; r < 6; ++r) reducedGradient_[ra + r] -= Wa[r] * pointGradient_[p] / h;
      for (u32 b = starts_[p]; b < starts_[p + 1]; ++b) {
        const size_t rb = 6 * static_cast<size_t>(grouped_[b].frame);
        if (rb > ra) continue;  // the lower triangle only
        const f64* Wb = &coupling_[6 * static_cast<size_t>(b)];
        for (int r = 0; r < 6; ++r) {
          f64* row = &reduced_[(ra + r) * n + rb];
          const f64 s = Wa[r] / h;
          const int last = rb == ra ? r : 5;
          for (int c = 0; c <= last; ++c) row[c] -= s * Wb[c];
        }
      }
    }
  }
  frameStep_ = reducedGradient_;
  if (!LA::SolveCholesky(static_cast<u32>(n), reduced_.data(), frameStep_.data())) return false;

  for (size_t i = 0; i < slots_.size(); ++i)
    UpdatePose(&poses_[i * kPoseSize], &frameStep_[6 * i], &trialPoses_[i * kPoseSize]);
  for (size_t p = 0; p < points; ++p) {
    f64 v = pointGradient_[p];
    for (u32 a = starts_[p]; a < starts_[p + 1]; ++a) {
      const f64* Wa = &coupling_[6 * static_cast<size_t>(a)];
      const f64* step = &frameStep_[6 * static_cast<size_t>(grouped_[a].frame)];
      for (int r = 0; r < 6; ++r) v -= Wa[r] * step[r];
    }
    const f64 inverse = inverse_[p] + v / dampedDiagonal_[p];
    // A point cannot pass through infinity to the far side.
    trialInverse_[p] = inverse > 1e-4 ? inverse : inverse_[p];
  }
  for (const f64 x : trialPoses_)
    if (!std::isfinite(x)) return false;
  for (const f64 x : trialInverse_)
    if (!std::isfinite(x)) return false;
  return true;
}

bool EarlyMapSolve::Write(u16 frame) {
  const size_t points = tracks_.size();
  // Distances scale by s about the first key frame: the median inverse
  // distance is back where it was, and the frames' centres follow.
  const f64 s = MedianOf(scratch_, inverse_, points) / median_;
  if (!(s > 1.0 / kMaxScaleChange && s < kMaxScaleChange)) return false;
  MapWorkingCopy& w = c_.mapView.Working();
  for (size_t p = 0; p < points; ++p) {
    f64 X[3];
    PointAt(centre_, &directions_[3 * p], inverse_[p] / s, X);
    MapPoint& stored = w.points[tracks_[p]];
    for (int k = 0; k < 3; ++k) stored.v[k] = static_cast<f32>(X[k]);
    stored.v[3] = 1.0f;
    c_.mapView.NoteOwnPoint(tracks_[p]);
  }
  // The frame is slots_[0]; its centre moves to centre + s (c - centre).
  TrackerFrame& f = c_.ring[frame];
  CameraPose& P = f.pose.slot[kVisual];
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) P.m[r][k] = static_cast<f32>(poses_[3 * r + k]);
    P.m[r][3] = static_cast<f32>(poses_[9 + r]);
  }
  float c[3];
  CameraCentre(P, c);
  for (int k = 0; k < 3; ++k) c[k] = static_cast<f32>(centre_[k] + s * (c[k] - centre_[k]));
  SetCameraCentre(P, c);
  float scratch[8];
  CameraToPose(f.state.record[kVisual], c_.camera.bodyToCamera, P, scratch);
  return true;
}
