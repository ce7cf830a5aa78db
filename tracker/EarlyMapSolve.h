#pragma once
// While the map holds one key frame, its points stand where the frames since
// have put them, and no adjustment runs. Solved in turns (each frame's pose
// on the points, then each point on the frames), the two settle in the
// valley where a sideways step reads as a turn of a flatter scene, and a
// walk without readings could leave it at any scale or shape by the second
// key frame. Here the first key frame's points, each moving along its line
// of sight from that key frame, and the ring frames' poses are solved
// together (Levenberg-Marquardt, the points' inverse distances eliminated),
// and the frame takes its pose from that. The points' median inverse
// distance, the map's unit, is held, and a weak prior toward it keeps a
// point whose rays barely part at a sensible depth.
// With two key frames the map's adjustment sees the scene from those two
// alone, one short baseline, and can leave it flattened the same way: the
// frames after it then read a sideways walk as a turn, no parallax comes for
// a third key frame, and the walk stalls. So the solve goes on until the
// third key frame, every point the ring frames see moving along its line of
// sight from the first key frame; the map's own points come back with its
// next change. Frames with translation readings are left to the inertial
// window, which already holds their motion.
#include <vector>

#include "tracker/TrackerContext.h"

class EarlyMapSolve {
 public:
  explicit EarlyMapSolve(const TrackerContext& context) : c_(context) {}

  // Solves when the map has one or two key frames and the frame, the newest
  // of the ring, has a pose and no translation readings since the newest key
  // frame; writes the points (as the tracker's own) and the frame's pose.
  // False, with nothing changed, when it does not apply (a marker's points
  // are already placed), sees too few points or cannot lower the cost.
  bool Solve(u16 frame);

  static constexpr u32 kMaxKeyFrames = 2;
  static constexpr u32 kMinPoints = 10;
  static constexpr u32 kIterations = 10;
  static constexpr f64 kHuberPixels = 2.0;
  // The prior's deviation, as a share of the median inverse distance.
  static constexpr f64 kPriorShare = 0.6;
  // A solve that would change the points' median distance by more than this
  // factor either way is not taken.
  static constexpr f64 kMaxScaleChange = 5.0;

 private:
  struct Observation {
    u32 frame, point;
    f64 x, y;  // normalised
  };
  // The ring frames with a pose (the current one first) and the solved points
  // they see; false when the solve does not apply.
  bool Collect(u16 frame);
  // Sum of the Huber costs in pixels and of the prior; +inf when a point
  // falls behind a camera that sees it.
  f64 Cost(const std::vector<f64>& poses, const std::vector<f64>& inverse) const;
  // Normal equations at the current estimate.
  void Linearise();
  // One damped step into the trial estimate; false when it is not finite.
  bool SolveStep(f64 lambda);
  // Holds the median inverse distance and writes points and the frame.
  bool Write(u16 frame);

  TrackerContext c_;
  f64 centre_[3] = {};  // the first key frame's camera centre
  f64 focal_ = 0.0;     // pixels per normalised unit
  f64 median_ = 0.0;    // the points' median inverse distance before the solve
  f64 priorWeight_ = 0.0;
  // Scratch, grown only. Per frame its slot and pose (R row-major, then t);
  // per point its track, unit direction from the first key frame and inverse
  // distance; the observations grouped by point (point p's from starts_[p]).
  std::vector<u16> slots_;
  std::vector<f64> poses_, trialPoses_;
  std::vector<u32> tracks_, pointIndex_;
  std::vector<f64> directions_, inverse_, trialInverse_;
  std::vector<Observation> observations_, grouped_;
  std::vector<u32> starts_, cursors_;
  // The normal equations: the frames' block S (6N x 6N, row-major) and
  // gradient, each point's diagonal and gradient, each observation's frame x
  // point column, and the step.
  std::vector<f64> frameBlock_, frameGradient_, pointDiagonal_, pointGradient_, coupling_;
  std::vector<f64> reduced_, reducedGradient_, frameStep_, dampedDiagonal_;
  std::vector<f64> scratch_;  // for the medians
};
