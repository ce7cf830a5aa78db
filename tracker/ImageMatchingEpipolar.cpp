// The epipolar data of an image pair: from the two poses while tracking,
// estimated from the frame's matches otherwise, and the test of the frame's
// matches against it.
#include <algorithm>
#include <cstring>

#include "estimation/TwoViewGeometry.h"
#include "features/ImageMapMath.h"
#include "tracker/ImageMatching.h"

void ImageMatching::PrepareFrameEpipolar(u16 f, u16 cur, TrackingMode mode) {
  if (mode.tracking && !mode.recovering)
    ComputeEssentialFromPoses(c_.ring[f].pose.slot[kVisual], c_.ring[cur].pose.slot[kVisual],
                              essential_, fundamentals_);
  else
    fundamentals_.Resize(0);
}

void ImageMatching::PrepareKeyFrameEpipolar(u16 k, u16 cur, TrackingMode mode) {
  const AlignedArray<CameraPose>& poses = c_.mapView.Working().keyFramePoses;
  if (mode.tracking && !mode.recovering) {
    if (k < poses.Size())
      ComputeEssentialFromPoses(poses[k], c_.ring[cur].pose.slot[kVisual], essential_,
                                fundamentals_);
    else
      fundamentals_.Resize(0);
  } else if (EstimateImageFundamental(k, cur, essential_, fundamentals_)) {
    FilterEpipolarInliers(k, cur, essential_);
  } else {
    fundamentals_.Resize(0);
  }
}

void ImageMatching::ComputeEssentialFromPoses(const CameraPose& a, const CameraPose& b,
                                              WarpRecord& E, AlignedArray<WarpRecord>& F) {
  if (!IsPoseValid(a) || !IsPoseValid(b)) {
    F.Resize(0);
    return;
  }
  CameraPose rel;
  ComputeRelativePose(a, b, rel);
  const float(&R)[3][4] = rel.m;
  const float t[3] = {R[0][3], R[1][3], R[2][3]};
  for (int c = 0; c < 3; ++c) {
    E.m[c] = t[1] * R[2][c] - t[2] * R[1][c];
    E.m[4 + c] = t[2] * R[0][c] - t[0] * R[2][c];
    E.m[8 + c] = t[0] * R[1][c] - t[1] * R[0][c];
  }
  E.m[3] = E.m[7] = E.m[11] = 0.0f;
  MakeFundamentalPyramid(E, F);
}

void ImageMatching::MakeFundamentalPyramid(const WarpRecord& E, AlignedArray<WarpRecord>& F) {
  F.Resize(kPyramidLevels);
  float scratch[4];
  const Intrinsic& K = c_.camera.intrinsic[0];
  ComputePatchWarp(K, E, K, F[0], scratch);
  F[0].m[3] = F[0].m[7] = F[0].m[11] = 0.0f;
  // Both images' pixels halve: diag(2, 2, 1) F diag(2, 2, 1) / 4.
  for (int l = 1; l < kPyramidLevels; ++l) {
    F[l] = F[l - 1];
    F[l].m[2] *= 0.5f, F[l].m[6] *= 0.5f, F[l].m[10] *= 0.5f;
    F[l].m[8] *= 0.5f, F[l].m[9] *= 0.5f, F[l].m[10] *= 0.5f;
  }
}

bool ImageMatching::EstimateImageFundamental(u16 k, u16 cur, WarpRecord& E,
                                             AlignedArray<WarpRecord>& F) {
  TrackerMapView& view = c_.mapView;
  if (k >= view.Records().size() || !c_.ring.Contains(cur)) return false;
  view.MapKeyFrameTrackIndices(k, keyFrameIndex_);
  const u32 featureStart = view.Records()[k].featureStart;
  const AlignedArray<LA::Vector2<float>>& normalized = view.KeyFrameNormalized();
  const TrackerFrame& frame = c_.ring[cur];
  const auto feature = [&](const MapMatch& m) {
    if (m.track >= keyFrameIndex_.size() || keyFrameIndex_[m.track] == kNone16) return kNone32;
    const u32 i = featureStart + keyFrameIndex_[m.track];
    return i < normalized.Size() ? i : kNone32;
  };
  u32 n = 0;
  for (const auto& list : frame.mapMatches)
    for (const MapMatch& m : list) n += feature(m) != kNone32 ? 1 : 0;
  if (n < kMinEpipolarPairs) return false;
  n = std::min<u32>(n, 65535);
  fundamentalData_.Resize(static_cast<u16>(n));
  u32 i = 0;
  for (const auto& list : frame.mapMatches)
    for (const MapMatch& m : list) {
      const u32 j = feature(m);
      if (j == kNone32 || i >= n) continue;
      fundamentalData_.SetMatch(i++, normalized[j].x, normalized[j].y, m.nx, m.ny);
    }
  fundamentalEstimator_.threshold = 16.0f * c_.camera.pixelVariance;
  fundamentalEstimator_.maxIterations = 300;
  fundamentalEstimator_.minIterations = 20;
  FundamentalMatrix model;
  fundamentalEstimator_.RunLoRansac(fundamentalData_, model, inliers_);
  if (inliers_.size() < kMinEpipolarPairs) return false;
  static_assert(sizeof(model.m) == sizeof(E.m), "both are three rows of four floats");
  std::memcpy(E.m, model.m, sizeof(E.m));
  E.m[3] = E.m[7] = E.m[11] = 0.0f;
  MakeFundamentalPyramid(E, F);
  return true;
}

void ImageMatching::FilterEpipolarInliers(u16 k, u16 cur, const WarpRecord& E) {
  TrackerMapView& view = c_.mapView;
  if (k >= view.Records().size() || !c_.ring.Contains(cur)) return;
  TrackerFrame& frame = c_.ring[cur];
  const float T = 16.0f * c_.camera.pixelVariance;
  view.MapKeyFrameTrackIndices(k, keyFrameIndex_);
  const u32 featureStart = view.Records()[k].featureStart;
  const AlignedArray<LA::Vector2<float>>& normalized = view.KeyFrameNormalized();
  const std::vector<u8>& flags = view.Working().trackFlags;
  if (matched_.size() < flags.size()) matched_.resize(flags.size(), 0);
  LA::AlignedMatrix3f Em;
  std::memcpy(Em.m, E.m, sizeof(E.m));
  float scratch[6];
  u32 tested = 0, passed = 0;
  for (auto& list : frame.mapMatches) {
    size_t kept = 0;
    for (const MapMatch& m : list) {
      const bool inKeyFrame = m.track < keyFrameIndex_.size() && keyFrameIndex_[m.track] != kNone16;
      const u32 j = inKeyFrame ? featureStart + keyFrameIndex_[m.track] : kNone32;
      if (j >= normalized.Size() || (flags[m.track] & kTrackInlier)) {
        list[kept++] = m;
        continue;
      }
      ++tested;
      const f32 e = ComputeSymmetricEpipolarError(Em, normalized[j], {m.nx, m.ny}, scratch);
      if (e < T) {
        ++passed;
        list[kept++] = m;
      } else {
        matched_[m.track] = 0;
      }
    }
    list.resize(kept);
  }
  frame.unsolvedCount = static_cast<u16>(frame.unsolvedCount + passed - tested);
  c_.log.Print("[%d] <-- [%d] Image Matches = %d - %d = %d\n", frame.number, view.KeyFrameNumber(k),
               tested, tested - passed, passed);
}
