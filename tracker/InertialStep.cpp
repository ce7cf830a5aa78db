#include "tracker/InertialStep.h"

#include "tracker/Pending.h"

InertialStep::InertialStep(const TrackerContext& context) : c_(context) {
  ISOParameters& p = isoSolver_.parameters;
  p.maxIterations = 20;
  p.initialDamping = 0.001f;
  p.minRelativeReduction = 0.0005f;
  p.minGradient = 1e-5f;
  p.minStep = 1e-6f;
  p.pcgMinIterations = 10;
  p.pcgMaxIterations = 500;
  p.pcgRelativeTolerance = 0.001f;
  p.pcgDivergenceFactor = 10.0f;
}

void InertialStep::StoreImuMeasurement(u16, const std::vector<IMUSample>&, const f64[8], f64) {
  Pending(__func__);
}
void InertialStep::PredictFromImu(u16, u16, const std::vector<IMUSample>&, const f64[8], f64) {
  Pending(__func__);
}
void InertialStep::ChainImuDeltas(u16, u16, const std::vector<IMUSample>&) {
  Pending(__func__);
}
i32 InertialStep::RunIso(u16) {
  Pending(__func__);
}
