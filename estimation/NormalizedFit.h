#pragma once
// The linear fits of the fundamental-matrix and homography estimators run in
// normalised coordinates: the matches (a MatchSet2D or a minimal sample) are
// normalised in place, the solver fits, and the model is moved back to
// pixels. Written once for both estimators and both kinds of sample.
#include "estimation/Estimator.h"
#include "estimation/ScratchVectors.h"
#include "estimation/TwoViewGeometry.h"
#include "la/AlignedArray.h"

// Normalises `set` (Set::Normalize), fits with solve(set, model) -> bool and
// moves the model back with Transfer. models: the one model, or none when
// the fit fails. scratchVectors: what Set::Normalize and Transfer need.
template <TwoViewTransfer Transfer, class Set, class Model, class Solve>
bool FitInNormalizedFrame(Set& set, Solve&& solve, u32 scratchVectors,
                          AlignedArray<LA::AlignedVector4f>& scratch, AlignedArray<Model>& models) {
  Set::Normalize(set, ScratchVectors(scratch, scratchVectors));
  return SolveOneModel(models, [&](Model& model) {
    if (!solve(set, model)) return false;
    // The solver may have grown the scratch array: take its storage again.
    Transfer(model, set.means, set.scale1, set.scale2, ScratchVectors(scratch, scratchVectors));
    return true;
  });
}
