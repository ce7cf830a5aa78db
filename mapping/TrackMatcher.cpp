#include "mapping/TrackMatcher.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstring>

#include "features/ImageMapMath.h"
#include "la/Homography.h"
#include "la/Random.h"

namespace {

// Candidates beyond this many shared tracks already share enough.
constexpr u16 kMaxCommonTracks = 20;
constexpr u32 kMaxCandidates = 10;
constexpr u32 kMinPlaneFeatures = 15;

bool Finite(float v) {
  return std::isfinite(v);
}

}  // namespace

void ScaleOffsetPoints2D(const float a[2], const float b[2],
                         const AlignedArray<LA::Vector2<float>>& source,
                         AlignedArray<LA::Vector2<float>>& destination) {
  const u32 n = source.Size();
  destination.Resize(n);
  u32 i = 0;
  for (; i + 1 < n; i += 2) {
    destination[i].x = source[i].x * a[0] + b[0];
    destination[i].y = source[i].y * a[1] + b[1];
    destination[i + 1].x = source[i + 1].x * a[0] + b[0];
    destination[i + 1].y = source[i + 1].y * a[1] + b[1];
  }
  if (i < n) {
    destination[i].x = source[i].x * a[0] + b[0];
    destination[i].y = source[i].y * a[1] + b[1];
  }
}

TrackMatcher::TrackMatcher(GlobalMap* map, u8 verbose, const std::string& logFileName)
    : map(map),
      verbose(verbose),
      logFileName(logFileName),
      planeEstimator(0.0f),
      fundamental(0.0f),
      cameraEstimator(0.0f) {
  Intrinsic K;
  {
    boost::shared_lock<boost::shared_mutex> lock(map->mutex);
    K = map->intrinsic;
    width = map->width;
    height = map->height;
  }
  for (int l = 0; l < kPyramidLevels; ++l) {
    const float s = 1.0f / static_cast<float>(1 << l);
    levelIntrinsics[l].Set(K.fx[0] * s, K.fy[0] * s, K.cx[0] * s, K.cy[0] * s);
  }
  floatIntrinsic.fxfy[0] = FLT_MAX;
  rect[0] = (0.0f - K.cx[0]) / K.fx[0];
  rect[1] = (0.0f - K.cy[0]) / K.fy[0];
  rect[2] = (static_cast<float>(width) - 1.0f - K.cx[0]) / K.fx[0];
  rect[3] = (static_cast<float>(height) - 1.0f - K.cy[0]) / K.fy[0];
  solver.maxIterations = 30;
  solver.initialDamping = 0.001f;
  if (verbose == 0 && !logFileName.empty()) log = std::fopen(logFileName.c_str(), "w");
}

TrackMatcher::~TrackMatcher() {
  if (log) std::fclose(log);
}

void TrackMatcher::Print(const char* format, ...) const {
  FILE* out = verbose ? stdout : log;
  if (out == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
}

void TrackMatcher::Run(const TrackMatchingData* item) {
  if (item == nullptr || item->IsReset()) return;
  Random::Seed(5);
  busy = true;
  jointAdjusted = false;
  trackPairs.clear();
  const u16 u = SelectKeyFrame(*item, keyFrameImage, warp);
  if (u == kNone16) {
    busy = false;
    return;
  }
  Print("----------------------------------------------------------------\n");
  const bool matched = LoadKeyFrame(u) && MatchFirstPass(*item) && ComputeInliersFirstPass(*item) &&
                       RefinePose(*item) && MatchSecondPass(*item) && MatchFeatures(*item) &&
                       ComputeInliersFeatureMatches(*item) && MatchTracks(*item);
  if (!matched) {
    busy = false;
    return;
  }
  if (MergeMatchedTracks(*item) && log) {
    std::fclose(log);
    log = std::fopen(logFileName.c_str(), "a");
  }
  busy = false;
}

bool TrackMatcher::MergeMatchedTracks(const TrackMatchingData& item) {
  const float e1 = ComputeErrorFromFramePose(item, keyFrame.pose);
  const float e2 = ComputeErrorFromFramePose(item, P2);
  const float e3 = ComputeErrorFromKeyFramePose(item, *item.pose);
  const float e4 = ComputeErrorFromKeyFramePose(item, P1);
  jointAdjusted = false;
  if (e1 > 3.0f * e2 || e3 > 3.0f * e4) {
    if (!PrepareJointProblem() || !SolveAndWriteJointProblem()) return false;
    jointAdjusted = true;
  }
  // A refusal (the ids belong to an older structure) drops this merge.
  return map->MergeTracks(matchedKeyFrame, trackPairs, structureVersion);
}

bool TrackMatcher::PrepareJointProblem() {
  mergePairs = trackPairs;
  if (!map->GetTrackMatcherProblem(matchedKeyFrame, structureVersion, mergePairs, problem, state,
                                   index, token))
    return false;
  return mergePairs.size() >= 10;
}

bool TrackMatcher::SolveAndWriteJointProblem() {
  solver.Run(problem, state, SolverVerbosity(), log);
  const float s = levelIntrinsics[0].misc[1];
  const float E = solver.ComputeFeatureCost(problem, state, 0, nullptr);
  const float M = static_cast<float>(problem.features.measurements.Size());
  const float w0 =
      problem.features.levelWeights.Size() > 0 ? problem.features.levelWeights[0].v[0] : 0.0f;
  if (!(E <= 16.0f * s * M * w0)) return false;
  return map->SetTrackMatcherResult(state, index.keyFrames, index.tracks, index.planes, token, 1,
                                    "TM");
}

void TrackMatcher::FindScenePlane(const TrackMatchingData& item, float plane[4]) {
  const u32 P = planes.Size();
  planeCounts.assign(P, 0);
  for (int l = 0; l < kPyramidLevels; ++l)
    for (const u16 p : item.planeIndices[l])
      if (p < P) ++planeCounts[p];
  u32 best = kNone32, bestCount = 0;
  for (u32 p = P; p-- > 0;) {
    if (planeCounts[p] >= kMinPlaneFeatures && planeCounts[p] >= bestCount) {
      best = p;
      bestCount = planeCounts[p];
    }
  }
  if (best != kNone32) {
    for (int i = 0; i < 4; ++i) plane[i] = planes[best].v[i];
    return;
  }
  planeData.points.Resize(0);
  for (int l = 0; l < kPyramidLevels; ++l)
    for (u32 i = 0; i < item.MatchCount(l); ++i)
      if (item.trackFlags[l][i] & kTrackInlier) planeData.points.PushBack(item.points[l][i], 20);
  if (planeData.points.Size() >= kMinPlaneFeatures) {
    planeEstimator.threshold = 0.1f * item.meanDepth;
    planeEstimator.maxIterations = 100;
    planeEstimator.minIterations = 20;
    Plane fitted;
    std::vector<u32> planeInliers;
    planeEstimator.RunRansac(planeData, fitted, planeInliers);
    if (planeInliers.size() >= kMinPlaneFeatures) {
      for (int i = 0; i < 4; ++i) plane[i] = fitted.v[i];
      return;
    }
  }
  // The plane facing the camera at the scene depth.
  const CameraPose& pose = *item.pose;
  for (int i = 0; i < 3; ++i) plane[i] = -pose.m[2][i];
  plane[3] = item.meanDepth - pose.m[2][3];
}

u16 TrackMatcher::SelectKeyFrame(const TrackMatchingData& item, CVD::Image<float>& image,
                                 WarpRecord& out) {
  // Once: the intrinsics of the float image, which keeps its size.
  if (floatIntrinsic.fxfy[0] == FLT_MAX && item.pyramid[0].size().x > 0) {
    const float k =
        static_cast<float>(item.floatImage.size().x) / static_cast<float>(item.pyramid[0].size().x);
    const Intrinsic& K = levelIntrinsics[0];
    floatIntrinsic.Set(K.fx[0] * k, K.fy[0] * k, K.cx[0] * k, K.cy[0] * k);
  }
  structureVersion = map->CountCommonTracks(item.trackIndices, commonCounts, poses, planes, images);
  float plane[4];
  FindScenePlane(item, plane);
  const CameraPose& P = *item.pose;
  candidates.clear();
  // Only key frames with a returned pose: a weak newest key frame is left out.
  const u32 K = std::min<u32>(poses.Size(), static_cast<u32>(commonCounts.size()));
  for (u32 i = 0; i < K; ++i) {
    if (i == item.relocalisationKeyFrame || i == item.alignmentKeyFrame) continue;
    if (commonCounts[i] > kMaxCommonTracks) continue;
    if (i == 0) candidates.emplace_back(-1, 0);
    const CameraPose& Q = poses[i];
    float c[3];
    CameraCentre(Q, c);
    const float* axis = Q.m[2];
    const float na = plane[0] * axis[0] + plane[1] * axis[1] + plane[2] * axis[2];
    const float nc = plane[0] * c[0] + plane[1] * c[1] + plane[2] * c[2] + plane[3];
    const float lambda = -nc / na;
    if (!(lambda > 0.0f) || !Finite(lambda)) continue;
    float X[3], Xc[3];
    for (int j = 0; j < 3; ++j) X[j] = c[j] + lambda * axis[j];
    for (int r = 0; r < 3; ++r)
      Xc[r] = P.m[r][0] * X[0] + P.m[r][1] * X[1] + P.m[r][2] * X[2] + P.m[r][3];
    if (!(Xc[2] > 0.0f) || !Finite(Xc[2])) continue;
    const float x = Xc[0] / Xc[2], y = Xc[1] / Xc[2];
    if (x > rect[0] && x < rect[2] && y > rect[1] && y < rect[3])
      candidates.emplace_back(static_cast<int16_t>(commonCounts[i]), static_cast<u16>(i));
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const std::pair<int16_t, u16>& a, const std::pair<int16_t, u16>& b) {
                     return a.first < b.first;
                   });
  if (candidates.size() > kMaxCandidates) candidates.resize(kMaxCandidates);
  const float w = static_cast<float>(item.floatImage.size().x);
  const float h = static_cast<float>(item.floatImage.size().y);
  const float shifts[9][2] = {{0, 0},
                              {-0.3f * w, 0},
                              {0.3f * w, 0},
                              {0, -0.3f * h},
                              {0, 0.3f * h},
                              {-0.3f * w, -0.3f * h},
                              {-0.3f * w, 0.3f * h},
                              {0.3f * w, -0.3f * h},
                              {0.3f * w, 0.3f * h}};
  float residual;
  for (const auto& candidate : candidates) {
    const u16 i = candidate.second;
    const CVD::Image<float>& A = images[i];
    if (A.size().x < 3 || A.size().y < 3) continue;
    WarpRecord H{};
    H.m[0] = FLT_MAX;
    bool aligned = AlignFrameImages(A, item.floatImage, item.gradientImage, workImage, H,
                                    item.texture, residual, scratch);
    WarpRecord start;
    if (!aligned &&
        ComputePlaneHomography(P, poses[i], plane, floatIntrinsic, floatIntrinsic, start)) {
      for (const auto& d : shifts) {
        H = start;
        for (int j = 0; j < 3; ++j) {
          H.m[j] += d[0] * start.m[8 + j];
          H.m[4 + j] += d[1] * start.m[8 + j];
        }
        aligned = AlignFrameImages(A, item.floatImage, item.gradientImage, workImage, H,
                                   item.texture, residual, scratch);
        if (aligned) break;
      }
    }
    if (aligned) {
      image.copy_from(A);
      out = H;
      matchedKeyFrame = i;
      return i;
    }
  }
  matchedKeyFrame = kNone16;
  return kNone16;
}

bool TrackMatcher::LoadKeyFrame(u16 u) {
  if (!map->GetKeyFrame(u, keyFrame)) return false;
  matchedKeyFrame = u;
  for (int l = 0; l < kPyramidLevels; ++l) {
    const Intrinsic& K = levelIntrinsics[l];
    const float a[2] = {K.fx[0], K.fy[0]}, b[2] = {K.cx[0], K.cy[0]};
    ScaleOffsetPoints2D(a, b, keyFrame.measurements[l], keyFramePixels[l]);
  }
  return true;
}

namespace {

// (x_new^T E x_old)^2 over the squared normals of both epipolar lines.
float SymmetricEpipolarTerm(const float E[3][3], const float xo[2], const float xn[2]) {
  float l1[3], l2[3];
  for (int r = 0; r < 3; ++r) l1[r] = E[r][0] * xo[0] + E[r][1] * xo[1] + E[r][2];
  for (int c = 0; c < 3; ++c) l2[c] = E[0][c] * xn[0] + E[1][c] * xn[1] + E[2][c];
  const float e = xn[0] * l1[0] + xn[1] * l1[1] + l1[2];
  const float d1 = l1[0] * l1[0] + l1[1] * l1[1], d2 = l2[0] * l2[0] + l2[1] * l2[1];
  if (!(d1 > 0.0f) || !(d2 > 0.0f)) return 0.0f;
  return e * e / d1 + e * e / d2;
}

// Squared distance of X projected by P from x; false behind the camera.
bool ProjectionTerm(const CameraPose& P, const MapPoint& X, const LA::Vector2<float>& x,
                    float& term) {
  float Xc[3];
  for (int r = 0; r < 3; ++r)
    Xc[r] = P.m[r][0] * X.v[0] + P.m[r][1] * X.v[1] + P.m[r][2] * X.v[2] + P.m[r][3];
  if (!(Xc[2] > 0.0f) || !std::isfinite(Xc[2])) return false;
  const float dx = Xc[0] / Xc[2] - x.x, dy = Xc[1] / Xc[2] - x.y;
  term = dx * dx + dy * dy;
  return std::isfinite(term);
}

void EssentialFromPose(const CameraPose& rel, float E[3][3]) {
  const float t[3] = {rel.m[0][3], rel.m[1][3], rel.m[2][3]};
  const float T[3][3] = {{0, -t[2], t[1]}, {t[2], 0, -t[0]}, {-t[1], t[0], 0}};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      E[r][c] = T[r][0] * rel.m[0][c] + T[r][1] * rel.m[1][c] + T[r][2] * rel.m[2][c];
}

// Root mean of the pair terms under P: the reprojection of the point where the
// side of P (`fromNew`: the new frame's) has one, else the symmetric epipolar
// term under the relative pose `rel`; FLT_MAX when no term is in front of P.
float PairError(const std::vector<std::pair<u8, FeatureMatch>>& pairMatches,
                const MapKeyFrameCopy& keyFrame, const TrackMatchingData& item, bool fromNew,
                const CameraPose& P, const CameraPose& rel, double mseFactor) {
  float E[3][3];
  EssentialFromPose(rel, E);
  double sum = 0.0;
  u32 n = 0;
  for (const auto& pm : pairMatches) {
    const int l = pm.first;
    const u16 o = pm.second.oldFeature, f = pm.second.newFeature;
    const LA::Vector2<float>& xo = keyFrame.measurements[l][o];
    const LA::Vector2<float>& xn = item.normalizedMeasurements[l][f];
    float term;
    const bool onTrack = fromNew ? (item.trackFlags[l][f] & kTrackInlier) != 0
                                 : (keyFrame.trackFlags[l][o] & kTrackInlier) != 0;
    if (onTrack) {
      const bool front = fromNew ? ProjectionTerm(P, item.points[l][f], xo, term)
                                 : ProjectionTerm(P, keyFrame.points[l][o], xn, term);
      if (!front) continue;
    } else {
      const float a[2] = {xo.x, xo.y}, b[2] = {xn.x, xn.y};
      term = SymmetricEpipolarTerm(E, a, b);
    }
    sum += term;
    ++n;
  }
  if (n == 0) return FLT_MAX;  // nothing in front of the camera
  return static_cast<float>(std::sqrt(sum * mseFactor / n));
}

}  // namespace

float TrackMatcher::ComputeErrorFromKeyFramePose(const TrackMatchingData& item,
                                                 const CameraPose& P) const {
  CameraPose rel;
  ComputeRelativePose(keyFrame.pose, P, rel);
  return PairError(pairMatches, keyFrame, item, false, P, rel, levelIntrinsics[0].misc[0]);
}

float TrackMatcher::ComputeErrorFromFramePose(const TrackMatchingData& item,
                                              const CameraPose& P) const {
  CameraPose rel;
  ComputeRelativePose(P, *item.pose, rel);
  return PairError(pairMatches, keyFrame, item, true, P, rel, levelIntrinsics[0].misc[0]);
}
