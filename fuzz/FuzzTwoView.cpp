// The two-view estimators (essential, fundamental, homography) on a seeded
// two-view scene spoiled by the fuzzer: hostile coordinates, repeated
// matches, caller's order tables and bins. The first byte picks the
// estimator, the next ones the scene and the entry point.
#include <vector>

#include "FuzzEstimator.h"
#include "common/ProjectiveScene.h"
#include "estimation/EssentialMatrixEstimator.h"
#include "estimation/FundamentalMatrixEstimator.h"
#include "estimation/HomographyEstimator.h"
#include "la/Random.h"

namespace {

// n matches of a seeded scene (in pixels when asked), spoiled, into data.
template <class Data>
void BuildData(FuzzInput& in, Data& data) {
  Random::Seed(in.Byte());
  const int n = 5 + in.Byte() % 60;
  std::vector<scene::Match> matches = scene::MakeScene(n).matches;
  if (in.Bool()) matches = scene::ToPixels(matches);
  std::vector<f32> floats;
  for (const scene::Match& m : matches) {
    for (const double v : {m.x1, m.y1, m.x2, m.y2}) floats.push_back(static_cast<f32>(v));
  }
  in.Spoil(floats.data(), static_cast<u32>(floats.size()), 4, 6);
  data.Resize(static_cast<u16>(n));
  for (int i = 0; i < n; ++i) {
    const f32* f = &floats[4 * i];
    data.SetMatch(i, f[0], f[1], f[2], f[3]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzInput in(bytes, size);
  switch (in.Byte() % 4) {
    case 0: {
      EssentialMatrixEstimator estimator(1e-4f);
      EssentialMatrixEstimatorData data;
      BuildData(in, data);
      fuzz::ExerciseEstimator<EssentialMatrixEstimator, FiveMatches2D>(estimator, data, in);
      break;
    }
    case 1: {
      FundamentalMatrixEstimator estimator(1.0f);
      FundamentalMatrixEstimatorData data;
      BuildData(in, data);
      fuzz::ExerciseEstimator<FundamentalMatrixEstimator, EightMatches2D>(estimator, data, in);
      break;
    }
    case 2: {
      FundamentalMatrixEstimator estimator(1.0f);
      FundamentalMatrixEstimatorData data;
      BuildData(in, data);
      fuzz::ExerciseBins<FundamentalMatrixEstimator, EightMatches2D>(estimator, data, in);
      break;
    }
    default: {
      HomographyEstimator estimator(1.0f);
      HomographyEstimatorData data;
      BuildData(in, data);
      fuzz::ExerciseEstimator<HomographyEstimator, FourMatches2D>(estimator, data, in);
      break;
    }
  }
  return 0;
}
