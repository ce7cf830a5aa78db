#include "mapping/BundleAdjustorGlobal.h"

#include <boost/thread/locks.hpp>
#include <chrono>
#include <cstdarg>
#include <thread>

#include "features/FeatureRecords.h"

BundleAdjustorGlobal::BundleAdjustorGlobal(GlobalMap* map, u8 verbose,
                                           const std::string& logFileName)
    : planeDetector(0.0f),
      map(map),
      verbose(verbose),
      logFileName(logFileName),
      pointEstimator(1.0f) {
  u16 width, height;
  {
    boost::shared_lock<boost::shared_mutex> lock(map->mutex);
    intrinsic = map->intrinsic;
    width = map->width;
    height = map->height;
  }
  solver.maxIterations = 30;
  solver.initialDamping = 0.001f;
  const f32 s = intrinsic.misc[1];
  planeDetector.threshold = 16.0f * s;
  planeDetector.maxIterations = 500;
  planeDetector.minIterations = 20;
  planeDetector.areaFactor = 0.01f;
  planeDetector.keepRatio = 0.8f;
  planeDetector.medianFactor = 8.0f;
  planeDetector.minPoints = 15;
  planeDetector.maxNewPlanes = 3;
  planeDetector.width = width;
  planeDetector.height = height;
  planeDetector.intrinsic = intrinsic;
  if (verbose == 0 && !logFileName.empty()) log = std::fopen(logFileName.c_str(), "w");
}

BundleAdjustorGlobal::~BundleAdjustorGlobal() {
  if (log) std::fclose(log);
}

void BundleAdjustorGlobal::Run(const u8* request) {
  if (request != nullptr && *request != kGlobalRequestPass) return;
  busy = true;
  const f32 s = intrinsic.misc[1];
  u32 line = 0;
  solves = 0;
  writeBackAttempts = 0;
  for (;;) {
    map->GetGBAProblem(problem, state, index, token);
    BeginPass();
    const f32 r = SolveWithRatios("GBA", true, line);
    MarkUnreliablePoints();
    MergePlanes();
    RejectOutliers(r, 16.0f * s, 1600.0f * s, true);
    RecoverInliers();
    UpdatePlanes();
    ++writeBackAttempts;
    if (map->SetBAResult(problem, state, index.keyFrames, pointTracks, OldPlanes(), edits, token, 1,
                         "GBA"))
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ReopenLog();
  busy = false;
}

void BundleAdjustorGlobal::BeginPass() {
  edits.Clear();
  outlierRecords.clear();
  outlierObservations.clear();
  pointTracks = index.tracks;
  planeIds = index.planes;
  oldPlaneCount = static_cast<u32>(planeIds.size());
  cameraThresholds.assign(state.cameras.Size(), 0.0f);
}

f32 BundleAdjustorGlobal::SolveWithRatios(const char* name, bool planes, u32& line) {
  const f32 s = intrinsic.misc[1];
  f32 r = 0.99f;
  for (;;) {
    PrintSeparator('*');
    if (verbose || log) ++line;
    Print("[%d] Before %s, min inlier ratio = %d%%\n", line, name, static_cast<int>(r * 100.0f));
    RejectOutliers(r, 36.0f * s, 3600.0f * s, planes);
    IBAState::Copy(stateBackup, state);
    solver.Run(problem, state, SolverVerbosity(), log);
    ++solves;
    const f32 E = solver.ComputeFeatureCost(problem, state, 0, nullptr);
    const f32 M = static_cast<f32>(problem.features.measurements.Size());
    const f32 w0 =
        problem.features.levelWeights.Size() > 0 ? problem.features.levelWeights[0].v[0] : 0.0f;
    if (16.0f * s * M * w0 > E) break;
    IBAState::Copy(state, stateBackup);
    r -= 0.05f;
    if (!(r >= 0.8f)) break;
  }
  PrintSeparator('-');
  if (verbose || log) ++line;
  Print("[%d] After %s\n", line, name);
  return r;
}

const std::vector<u16>& BundleAdjustorGlobal::OldPlanes() {
  oldPlanes_.assign(planeIds.begin(),
                    planeIds.begin() + std::min<size_t>(oldPlaneCount, planeIds.size()));
  return oldPlanes_;
}

void BundleAdjustorGlobal::Print(const char* format, ...) const {
  FILE* out = verbose ? stdout : log;
  if (out == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
}

void BundleAdjustorGlobal::PrintSeparator(char c) const {
  char text[66];
  for (int i = 0; i < 64; ++i) text[i] = c;
  text[64] = '\n';
  text[65] = '\0';
  Print("%s", text);
}

void BundleAdjustorGlobal::ReopenLog() {
  if (log == nullptr) return;
  std::fclose(log);
  log = std::fopen(logFileName.c_str(), "a");
}

u8 BundleAdjustorGlobal::SolverVerbosity() const {
  return verbose ? verbose : (log ? 2 : 0);
}

void BundleAdjustorGlobal::IndexObservations() {
  const u32 N = state.points.Size();
  const u32 C = state.cameras.Size();
  const IBAFeatures& f = problem.features;
  pointObsStart.assign(N + 1, 0);
  for (u32 m = 0; m < f.measurements.Size(); ++m)
    if (f.measurements[m].point < N) ++pointObsStart[f.measurements[m].point + 1];
  for (u32 p = 0; p < N; ++p) pointObsStart[p + 1] += pointObsStart[p];
  pointObs.resize(pointObsStart[N]);
  remap.assign(pointObsStart.begin(), pointObsStart.end() - 1);  // write cursors
  for (u32 c = 0; c < C; ++c) {
    for (u32 m = f.index[4 * c]; m < f.index[4 * c + 4]; ++m) {
      const u32 p = f.measurements[m].point;
      if (p < N) pointObs[remap[p]++] = {c, m};
    }
  }
}

void BundleAdjustorGlobal::RenumberPlanes(const std::vector<u16>& newIndex) {
  const u32 Q = static_cast<u32>(newIndex.size());
  u32 kept = 0, fixedKept = 0;
  for (u32 j = 0; j < Q; ++j) {
    const u16 to = newIndex[j];
    if (to == kNone16) continue;
    state.planes[to] = state.planes[j];
    problem.planeFlags[to] = problem.planeFlags[j];
    problem.planeWeights[to] = problem.planeWeights[j];
    if (to != j) problem.planePoints[to].swap(problem.planePoints[j]);
    planeIds[to] = planeIds[j];
    ++kept;
    if (j < problem.fixedPlanes) ++fixedKept;
  }
  state.planes.Resize(kept);
  problem.planeFlags.resize(kept);
  problem.planeWeights.Resize(kept);
  problem.planePoints.resize(kept);
  planeIds.resize(kept);
  problem.fixedPlanes = fixedKept;
  if (problem.groundPlane < Q) {
    const u16 to = newIndex[problem.groundPlane];
    problem.groundPlane = to == kNone16 ? kNone32 : to;
    if (to == kNone16) problem.ground = 0;
  }
  for (u16& p : problem.pointPlanes) p = p < Q ? newIndex[p] : kNone16;
  for (OutlierRecord& r : outlierRecords) r.plane = r.plane < Q ? newIndex[r.plane] : kNone16;
  u32 oldKept = 0;
  for (u32 j = 0; j < std::min<u32>(oldPlaneCount, Q); ++j) oldKept += newIndex[j] != kNone16;
  oldPlaneCount = oldKept;
}
