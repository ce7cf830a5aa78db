#pragma once
// Robust Gauss-Newton refinement of one camera pose on 2D-3D matches: ten
// rounds, each weighting the matches by Tukey's biweight of their residuals at
// the current pose and solving the 6x6 normal equations of the left-multiplied
// rotation update and the translation update. The matches are held column by
// column, padded to a multiple of four, so that the projections run four at a
// time; every array only grows.
#include "la/AlignedArray.h"
#include "la/Pose.h"

class PoseRefinement {
 public:
  static constexpr int kRounds = 10;

  // Room for n matches, to be filled by Set.
  void Resize(u32 n);
  u32 Size() const { return n_; }
  // Match i: map point X (x, y, z, 1), normalised position (x, y) and the
  // weight of its pyramid level.
  void Set(u32 i, const LA::AlignedVector4f& X, float x, float y, float levelWeight);
  // Up to kRounds rounds from pose, in place; the number of rounds applied.
  // A singular system or a step that is not finite ends the rounds and keeps
  // the pose of the last good one.
  int Refine(CameraPose& pose);

  // Of the last round: the weighted squared residuals (infinite for a point
  // at depth <= kMinDepth) and the Tukey weights.
  const AlignedArray<float>& SquaredResiduals() const { return squared_; }
  const AlignedArray<float>& Weights() const { return weights_; }

  // Points nearer than this to the camera plane (or behind it) get no weight.
  static constexpr float kMinDepth = 1e-6f;

 private:
  // The columns of the match block, each padded4_ floats.
  enum Column {
    kPointX,
    kPointY,
    kPointZ,
    kObservedX,
    kObservedY,
    kLevelWeight,
    kRotatedX,  // R X
    kRotatedY,
    kRotatedZ,
    kInverseDepth,
    kProjectedX,  // normalised projection
    kProjectedY,
    kResidualX,  // level weight (observed - projected)
    kResidualY,
    kColumns
  };
  float* Col(Column c) { return block_.Data() + static_cast<size_t>(c) * padded4_; }
  // Projections, residuals and squared residuals of every match at pose.
  void Project(const CameraPose& pose);
  // The weighted normal equations' solution into step; false when singular.
  bool SolveStep(LA::AlignedVector6f& step);

  u32 n_ = 0, padded4_ = 0;
  AlignedArray<float> block_;
  AlignedArray<float> squared_, weights_, sortCopy_;
};
