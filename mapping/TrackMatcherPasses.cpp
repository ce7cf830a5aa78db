// The re-matching passes of the track matcher: patch matches under the image
// warp, two robust poses, the pose-guided second pass, the one-to-one
// feature matches and the track pairs.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "features/FastFeatureGrid.h"
#include "features/ImageAlignment.h"
#include "features/ImageMapMath.h"
#include "features/PatchWarp.h"
#include "la/Homography.h"
#include "mapping/TrackMatcher.h"

namespace {

constexpr u32 kMinMatches = 10;
constexpr i32 kScoreGate = 25600;

void Apply(const WarpRecord& H, float x, float y, float out[2]) {
  const float p[2] = {x, y};
  ApplyHomography(reinterpret_cast<const float(*)[4]>(H.m), p, out);
}

void PoseToCamera(const CameraPose& P, Camera& C) {
  std::memcpy(&C, &P, sizeof(C));
}
void CameraToPose(const Camera& C, CameraPose& P) {
  std::memcpy(&P, &C, sizeof(P));
}

// Level pixel of camera coordinates; false unless the depth is positive and finite.
bool ProjectToLevel(const CameraPose& P, const MapPoint& X, const Intrinsic& K, float out[2]) {
  float Xc[3];
  for (int r = 0; r < 3; ++r)
    Xc[r] = P.m[r][0] * X.v[0] + P.m[r][1] * X.v[1] + P.m[r][2] * X.v[2] + P.m[r][3];
  if (!(Xc[2] > 0.0f) || !std::isfinite(Xc[2])) return false;
  out[0] = K.fx[0] * Xc[0] / Xc[2] + K.cx[0];
  out[1] = K.fy[0] * Xc[1] / Xc[2] + K.cy[0];
  return std::isfinite(out[0]) && std::isfinite(out[1]);
}

// Lists the (level, record) pairs of every level in `flat`, fits a fundamental
// matrix to them by LO-RANSAC within `threshold` and keeps its inliers in
// `flat`; `before` is the count listed. False when the matches, those on
// tracks of the older key frame, or the inliers are too few.
template <class Record, class OldPoints, class Flags, class NewPoint>
bool KeepFundamentalInliers(const std::vector<Record>* records, int levels,
                            const OldPoints& oldPoints, const Flags& oldFlags, NewPoint newPoint,
                            float threshold, FundamentalMatrixEstimator& fundamental,
                            FundamentalMatrixEstimatorData& data, std::vector<u16>& inliers,
                            std::vector<std::pair<u8, u32>>& flat,
                            std::vector<std::pair<u8, u32>>& kept, u32& before) {
  flat.clear();
  u32 onTracks = 0;
  for (int l = 0; l < levels; ++l)
    for (u32 i = 0; i < records[l].size(); ++i) {
      flat.emplace_back(static_cast<u8>(l), i);
      if (oldFlags[l][records[l][i].oldFeature] & kTrackInlier) ++onTracks;
    }
  before = static_cast<u32>(flat.size());
  if (before < kMinMatches || onTracks < kMinMatches || before > 65535) return false;
  data.Resize(static_cast<u16>(before));
  for (u32 i = 0; i < before; ++i) {
    const Record& r = records[flat[i].first][flat[i].second];
    const LA::Vector2<float>& xo = oldPoints[flat[i].first][r.oldFeature];
    float xn[2];
    newPoint(flat[i].first, r, xn);
    data.SetMatch(i, xo.x, xo.y, xn[0], xn[1]);
  }
  fundamental.threshold = threshold;
  fundamental.maxIterations = 50;
  fundamental.minIterations = 20;
  FundamentalMatrix F;
  fundamental.RunLoRansac(data, F, inliers);
  if (inliers.size() < kMinMatches) return false;
  kept.clear();
  for (const u16 i : inliers) kept.push_back(flat[i]);
  flat.swap(kept);
  return true;
}

}  // namespace

void TrackMatcher::CopyGrids(const TrackMatchingData& item) {
  for (int l = 0; l < kPyramidLevels; ++l) {
    const u32 n = item.corners[l].Size();
    grids[l].corners.Resize(n);
    if (n) std::memcpy(grids[l].corners.Data(), item.corners[l].Data(), n * sizeof(CornerXY));
    grids[l].rowStarts.assign(item.cornerRowStarts[l].begin(), item.cornerRowStarts[l].end());
  }
}

bool TrackMatcher::BestCorner(const TrackMatchingData& item, int l, u16 f, const WarpRecord& a,
                              const WarpRecord& b, PatchMatchRecord& record) {
  FeaturePatch patch;
  std::memset(&patch, 0, sizeof(patch));
  patch.x = keyFramePixels[l][f].x;
  patch.y = keyFramePixels[l][f].y;
  for (auto& c : patch.corners) c[0] = c[1] = -FLT_MAX;
  if (!WarpPatch8x8(patch, keyFrame.pyramid[l], a, b)) return false;
  i32 best = kScoreGate;
  u32 bestCorner = 0;
  for (const u32 c : window) {
    const CornerXY& xy = grids[l].corners[c];
    const u16 corner[2] = {xy.x, xy.y};
    const i32 score = PatchZeroMeanSsd(patch, item.pyramid[l], corner);
    if (score >= 0 && score < best) {
      best = score;
      bestCorner = c;
    }
  }
  if (best >= kScoreGate) return false;
  const Intrinsic& K = levelIntrinsics[l];
  record.oldFeature = f;
  record.corner = bestCorner;
  record.x = (grids[l].corners[bestCorner].x - K.cx[0]) * K.ifx[0];
  record.y = (grids[l].corners[bestCorner].y - K.cy[0]) * K.ify[0];
  record.score = static_cast<u32>(best);
  return true;
}

bool TrackMatcher::MatchFirstPass(const TrackMatchingData& item) {
  CopyGrids(item);
  const float k = static_cast<float>(item.pyramid[0].size().x) /
                  static_cast<float>(std::max(1, item.floatImage.size().x));
  WarpRecord toOld, toNew;
  // A singular warp cannot carry features across: the run ends.
  if (!MakeLevelZeroWarps(warp, k, toOld, toNew)) return false;
  u32 total = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    ScaleWarpToLevel(toOld, l, levelToOld[l]);
    ScaleWarpToLevel(toNew, l, levelToNew[l]);
    firstPass[l].clear();
    const float radius = 30.0f / static_cast<float>(1 << l);
    const u32 n = keyFrame.measurements[l].Size();
    for (u32 f = 0; f < n && f < 65535; ++f) {
      if (IsOutlierTrack(keyFrame.trackFlags[l][f])) continue;
      float q[2];
      Apply(levelToNew[l], keyFramePixels[l][f].x, keyFramePixels[l][f].y, q);
      if (!QueryFeatureWindow(item.pyramid[l].size(), grids[l].corners, grids[l].rowStarts, q[0],
                              q[1], radius, window))
        continue;
      PatchMatchRecord record;
      if (BestCorner(item, l, static_cast<u16>(f), levelToNew[l], levelToOld[l], record))
        firstPass[l].push_back(record);
    }
    total += static_cast<u32>(firstPass[l].size());
  }
  Print("[%d] <-- [%d] First Pass Matches = %d\n", item.frameId, keyFrame.frameId, total);
  return true;
}

bool TrackMatcher::ComputeInliersFirstPass(const TrackMatchingData& item) {
  const float s = levelIntrinsics[0].misc[1];
  u32 before = 0;
  const auto newPoint = [](int, const PatchMatchRecord& r, float xn[2]) {
    xn[0] = r.x;
    xn[1] = r.y;
  };
  if (!KeepFundamentalInliers(firstPass, kPyramidLevels, keyFrame.measurements, keyFrame.trackFlags,
                              newPoint, 16.0f * s, fundamental, fundamentalData, inliers, flat,
                              keptFlat, before))
    return false;
  const u32 afterF = static_cast<u32>(flat.size());
  // The camera of the new key frame from the older key frame's points.
  cameraItems.clear();
  for (u32 i = 0; i < flat.size(); ++i) {
    const PatchMatchRecord& r = firstPass[flat[i].first][flat[i].second];
    if (keyFrame.trackFlags[flat[i].first][r.oldFeature] & kTrackInlier) cameraItems.push_back(i);
  }
  if (cameraItems.size() < 6) return false;
  cameraData.Resize(static_cast<u32>(cameraItems.size()));
  for (u32 j = 0; j < cameraItems.size(); ++j) {
    const auto& fi = flat[cameraItems[j]];
    const PatchMatchRecord& r = firstPass[fi.first][fi.second];
    cameraData.worldPoints[j] = keyFrame.points[fi.first][r.oldFeature];
    cameraData.imagePoints[j].x = r.x;
    cameraData.imagePoints[j].y = r.y;
  }
  cameraData.mseFactor = levelIntrinsics[0].misc[0];
  cameraEstimator.threshold = 16.0f * s;
  Camera C;
  PoseToCamera(*item.pose, C);
  f64 error;
  cameraEstimator.OptimizeOnAllData(cameraData, C);
  cameraEstimator.VerifyModel(cameraData, C, inliers, error);
  cameraEstimator.RefineModel(cameraData, C, inliers, error);
  if (inliers.size() < kMinMatches) {
    cameraEstimator.maxIterations = 50;
    cameraEstimator.minIterations = 20;
    cameraEstimator.RunLoRansac(cameraData, C, inliers);
    if (inliers.size() < kMinMatches) return false;
  }
  CameraToPose(C, P1);
  std::vector<u8>& isInlier = inlierMarks;
  isInlier.assign(cameraItems.size(), 0);
  for (const u16 i : inliers) isInlier[i] = 1;
  std::vector<u8>& drop = dropMarks;
  drop.assign(flat.size(), 0);
  for (u32 j = 0; j < cameraItems.size(); ++j)
    if (!isInlier[j]) drop[cameraItems[j]] = 1;
  for (auto& level : keptRecords) level.clear();
  for (u32 i = 0; i < flat.size(); ++i)
    if (!drop[i]) keptRecords[flat[i].first].push_back(firstPass[flat[i].first][flat[i].second]);
  u32 after = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    firstPass[l].swap(keptRecords[l]);
    after += static_cast<u32>(firstPass[l].size());
  }
  Print("[%d] <-- [%d] Inlier Matches = %d --> %d --> %d\n", item.frameId, keyFrame.frameId, before,
        afterF, after);
  return true;
}

bool TrackMatcher::RefinePose(const TrackMatchingData& item) {
  pointsOld.Resize(0);
  pointsNew.Resize(0);
  for (int l = 0; l < kPyramidLevels; ++l) {
    const u32 n = keyFrame.measurements[l].Size();
    hasRecord.assign(n, 0);
    for (const PatchMatchRecord& r : firstPass[l]) {
      hasRecord[r.oldFeature] = 1;
      pointsOld.PushBack(keyFrame.measurements[l][r.oldFeature], 1000);
      pointsNew.PushBack(LA::Vector2<float>{r.x, r.y}, 1000);
    }
    const Intrinsic unit = [] {
      Intrinsic K;
      K.Set(1.0f, 1.0f, 0.0f, 0.0f);
      return K;
    }();
    for (u32 f = 0; f < n; ++f) {
      if (hasRecord[f] || !(keyFrame.trackFlags[l][f] & kTrackInlier)) continue;
      float x[2];
      // Behind P1 or at infinity: no position to pull towards.
      if (!ProjectToLevel(P1, keyFrame.points[l][f], unit, x)) continue;
      pointsOld.PushBack(keyFrame.measurements[l][f], 1000);
      pointsNew.PushBack(LA::Vector2<float>{x[0], x[1]}, 1000);
    }
  }
  if (pointsOld.Size() < kMinMatches) return false;
  floatIntrinsic.ApplyToPoints(pointsOld);
  floatIntrinsic.ApplyToPoints(pointsNew);
  float residual;
  return AlignFrameImagesExtended(keyFrameImage, item.floatImage, item.gradientImage, workImage,
                                  pointsOld, pointsNew, warp, item.texture, residual, scratch);
}

bool TrackMatcher::MatchSecondPass(const TrackMatchingData& item) {
  const float k = static_cast<float>(item.pyramid[0].size().x) /
                  static_cast<float>(std::max(1, item.floatImage.size().x));
  WarpRecord toOld, toNew;
  if (!MakeLevelZeroWarps(warp, k, toOld, toNew)) return false;
  CameraPose rel;
  ComputeRelativePose(keyFrame.pose, P1, rel);
  float E[3][3];
  {
    const float t[3] = {rel.m[0][3], rel.m[1][3], rel.m[2][3]};
    const float T[3][3] = {{0, -t[2], t[1]}, {t[2], 0, -t[0]}, {-t[1], t[0], 0}};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        E[r][c] = T[r][0] * rel.m[0][c] + T[r][1] * rel.m[1][c] + T[r][2] * rel.m[2][c];
  }
  const float gate = 4.0f / std::sqrt(levelIntrinsics[0].misc[0]);
  u32 total = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    ScaleWarpToLevel(toOld, l, levelToOld[l]);
    ScaleWarpToLevel(toNew, l, levelToNew[l]);
    secondPass[l].clear();
    const Intrinsic& K = levelIntrinsics[l];
    const float scale = 1.0f / static_cast<float>(1 << l);
    const u32 n = keyFrame.measurements[l].Size();
    hasRecord.assign(n, 0);
    for (const PatchMatchRecord& r : firstPass[l]) hasRecord[r.oldFeature] = 1;
    for (u32 f = 0; f < n && f < 65535; ++f) {
      const u8 flags = keyFrame.trackFlags[l][f];
      if (hasRecord[f] || IsOutlierTrack(flags)) continue;
      WarpRecord A = levelToNew[l], B = levelToOld[l];
      if (flags & kTrackInlier) {
        float q[2];
        if (!ProjectToLevel(P1, keyFrame.points[l][f], K, q)) continue;
        if (!QueryFeatureWindow(item.pyramid[l].size(), grids[l].corners, grids[l].rowStarts, q[0],
                                q[1], 4.0f * scale, window))
          continue;
        // Plane through the point facing the older camera.
        const MapPoint& X = keyFrame.points[l][f];
        const CameraPose& O = keyFrame.pose;
        const float plane[4] = {O.m[2][0], O.m[2][1], O.m[2][2],
                                -(O.m[2][0] * X.v[0] + O.m[2][1] * X.v[1] + O.m[2][2] * X.v[2])};
        WarpRecord H, Hi;
        if (ComputePlaneHomography(O, P1, plane, K, K, H) && Invert3x3(H, Hi)) {
          A = H;
          B = Hi;
        }
      } else {
        float q[2];
        Apply(levelToNew[l], keyFramePixels[l][f].x, keyFramePixels[l][f].y, q);
        if (!QueryFeatureWindow(item.pyramid[l].size(), grids[l].corners, grids[l].rowStarts, q[0],
                                q[1], 30.0f * scale, window))
          continue;
        const LA::Vector2<float>& xo = keyFrame.measurements[l][f];
        float line[3];
        for (int r = 0; r < 3; ++r) line[r] = E[r][0] * xo.x + E[r][1] * xo.y + E[r][2];
        const float norm = std::sqrt(line[0] * line[0] + line[1] * line[1]);
        if (!(norm > 0.0f)) continue;
        u32 kept = 0;
        for (const u32 c : window) {
          const float x = (grids[l].corners[c].x - K.cx[0]) * K.ifx[0];
          const float y = (grids[l].corners[c].y - K.cy[0]) * K.ify[0];
          if (std::fabs(line[0] * x + line[1] * y + line[2]) / norm < gate) window[kept++] = c;
        }
        window.resize(kept);
        if (kept == 0) continue;
      }
      PatchMatchRecord record;
      if (BestCorner(item, l, static_cast<u16>(f), A, B, record)) secondPass[l].push_back(record);
    }
    total += static_cast<u32>(secondPass[l].size());
  }
  Print("[%d] <-- [%d] Second Pass Matches = %d\n", item.frameId, keyFrame.frameId, total);
  return true;
}

bool TrackMatcher::MatchFeatures(const TrackMatchingData& item) {
  u32 records = 0, matches = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    featureMatches[l].clear();
    claims.assign(grids[l].corners.Size(), kNone16);
    const float radius = 10.0f / static_cast<float>(1 << l);
    const u32 n = std::min<u32>(item.MatchCount(l), 65535);
    for (u32 j = 0; j < n; ++j) {
      if (!QueryFeatureWindow(item.pyramid[l].size(), grids[l].corners, grids[l].rowStarts,
                              item.measurements[l][j].x, item.measurements[l][j].y, radius, window))
        continue;
      for (const u32 c : window) claims[c] = static_cast<u16>(j);
    }
    sorted.assign(firstPass[l].begin(), firstPass[l].end());
    sorted.insert(sorted.end(), secondPass[l].begin(), secondPass[l].end());
    std::stable_sort(
        sorted.begin(), sorted.end(),
        [](const PatchMatchRecord& a, const PatchMatchRecord& b) { return a.score < b.score; });
    for (const PatchMatchRecord& r : sorted)
      if (r.corner < claims.size() && claims[r.corner] != kNone16)
        featureMatches[l].push_back({r.oldFeature, claims[r.corner]});
    records += static_cast<u32>(sorted.size());
    matches += static_cast<u32>(featureMatches[l].size());
  }
  Print("[%d] <-- [%d] Feature Matches = %d --> %d\n", item.frameId, keyFrame.frameId, records,
        matches);
  return true;
}

bool TrackMatcher::ComputeInliersFeatureMatches(const TrackMatchingData& item) {
  const float s = levelIntrinsics[0].misc[1];
  u32 before = 0;
  const auto newPoint = [&item](int l, const FeatureMatch& m, float xn[2]) {
    xn[0] = item.normalizedMeasurements[l][m.newFeature].x;
    xn[1] = item.normalizedMeasurements[l][m.newFeature].y;
  };
  if (!KeepFundamentalInliers(featureMatches, kPyramidLevels, keyFrame.measurements,
                              keyFrame.trackFlags, newPoint, 1600.0f * s, fundamental,
                              fundamentalData, inliers, flat, keptFlat, before))
    return false;
  const u32 afterF = static_cast<u32>(flat.size());
  cameraItems.clear();
  for (u32 i = 0; i < flat.size(); ++i) {
    const FeatureMatch& m = featureMatches[flat[i].first][flat[i].second];
    if (item.trackFlags[flat[i].first][m.newFeature] & kTrackInlier) cameraItems.push_back(i);
  }
  if (cameraItems.size() < kMinMatches) return false;
  cameraData.Resize(static_cast<u32>(cameraItems.size()));
  for (u32 j = 0; j < cameraItems.size(); ++j) {
    const auto& fi = flat[cameraItems[j]];
    const FeatureMatch& m = featureMatches[fi.first][fi.second];
    cameraData.worldPoints[j] = item.points[fi.first][m.newFeature];
    cameraData.imagePoints[j] = keyFrame.measurements[fi.first][m.oldFeature];
  }
  cameraData.mseFactor = levelIntrinsics[0].misc[0];
  cameraEstimator.threshold = 1600.0f * s;
  cameraEstimator.maxIterations = 50;
  cameraEstimator.minIterations = 20;
  Camera C;
  PoseToCamera(keyFrame.pose, C);
  cameraEstimator.RunLoRansac(cameraData, C, inliers);
  if (inliers.size() < kMinMatches) return false;
  CameraToPose(C, P2);
  std::vector<u8>& drop = dropMarks;
  drop.assign(flat.size(), 0);
  {
    std::vector<u8>& isInlier = inlierMarks;
    isInlier.assign(cameraItems.size(), 0);
    for (const u16 i : inliers) isInlier[i] = 1;
    for (u32 j = 0; j < cameraItems.size(); ++j)
      if (!isInlier[j]) drop[cameraItems[j]] = 1;
  }
  for (auto& level : keptMatches) level.clear();
  for (u32 i = 0; i < flat.size(); ++i)
    if (!drop[i])
      keptMatches[flat[i].first].push_back(featureMatches[flat[i].first][flat[i].second]);
  u32 after = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    featureMatches[l].swap(keptMatches[l]);
    after += static_cast<u32>(featureMatches[l].size());
  }
  Print("[%d] <-- [%d] Inlier Matches = %d --> %d --> %d\n", item.frameId, keyFrame.frameId, before,
        afterF, after);
  return true;
}

bool TrackMatcher::MatchTracks(const TrackMatchingData& item) {
  u32 idEnd = 0, matches = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (const u32 t : keyFrame.tracks[l])
      if (t != kNone32) idEnd = std::max(idEnd, t + 1);
    for (const u32 t : item.trackIndices[l])
      if (t != kNone32) idEnd = std::max(idEnd, t + 1);
  }
  enum : u8 { kOld = 1, kNew = 2, kTaken = 4 };
  trackMarks.assign(idEnd, 0);
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (const u32 t : keyFrame.tracks[l])
      if (t != kNone32) trackMarks[t] |= kOld;
    for (const u32 t : item.trackIndices[l])
      if (t != kNone32) trackMarks[t] |= kNew;
  }
  trackPairs.clear();
  pairMatches.clear();
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (const FeatureMatch& m : featureMatches[l]) {
      ++matches;
      const u32 to = keyFrame.tracks[l][m.oldFeature];
      const u32 tn = item.trackIndices[l][m.newFeature];
      if (to == kNone32 || tn == kNone32) continue;
      if ((trackMarks[to] & (kNew | kTaken)) || (trackMarks[tn] & (kOld | kTaken))) continue;
      trackMarks[to] |= kTaken;
      trackMarks[tn] |= kTaken;
      trackPairs.emplace_back(to, tn);
      pairMatches.emplace_back(static_cast<u8>(l), m);
    }
  }
  Print("[%d] <-- [%d] Track Matches = %d --> %d\n", item.frameId, keyFrame.frameId, matches,
        static_cast<u32>(trackPairs.size()));
  return trackPairs.size() >= kMinMatches;
}
