#pragma once
// The global bundle adjustor (worker thread 3), base of the local and server
// adjustors. A pass copies the whole map out as a problem, rejects outliers
// per camera, solves with the inertial bundle adjustment (lowering the
// inlier ratio while the cost stays too high), marks weakly triangulated
// points, merges planes, restores outliers that fit again, detects planes
// among the newest key frame's points and writes back when the map has not
// changed meanwhile; otherwise it starts over on a fresh copy.
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "estimation/Point3DEstimator.h"
#include "la/AdjustorRequest.h"
#include "mapping/GlobalMap.h"
#include "mapping/PlaneDetector.h"
#include "mapping/Worker.h"
#include "optimization/IBASolver.h"

class BundleAdjustorGlobal : public Worker<u8> {
 public:
  BundleAdjustorGlobal(GlobalMap* map, u8 verbose, const std::string& logFileName);
  ~BundleAdjustorGlobal() override;
  BundleAdjustorGlobal(const BundleAdjustorGlobal&) = delete;
  BundleAdjustorGlobal& operator=(const BundleAdjustorGlobal&) = delete;

  // One global pass for kGlobalRequestPass; any other byte (a reset) returns
  // at once.
  void Run(const u8* request) override;
  // True while a pass runs.
  bool IsBusy() const override { return busy; }

  // ---- Passes over the copied problem (they never touch the map) ----
  // Removes the points whose mean squared error reaches their cameras'
  // thresholds (each the value at ratio r among the camera's errors, clamped
  // to [lower, upper]) into the outlier store; with planes, detaches points
  // off their plane and dissolves planes left with fewer than 15 points.
  void RejectOutliers(f32 ratio, f32 lower, f32 upper, bool planes);
  // Sets UNRELIABLE on points with a short baseline or a narrow cone of
  // rays, clears it on the others (IMU and MARKER points left alone).
  void MarkUnreliablePoints();
  // Joins planes that hold most of each other's points.
  void MergePlanes();
  // Re-triangulates the stored outliers; those that fit come back.
  void RecoverInliers();
  // Refits the planes met by the newest camera's points and detects new ones
  // among them.
  void UpdatePlanes();
  // Loads the listed points with their observations into `data`.
  void IndexPointSet(const std::vector<u32>& list, PlaneEstimatorData2D& data);

  // Clears every list a pass fills and takes the snapshot's index lists.
  void BeginPass();
  // Snapshot of the problem and what the passes edit, for the tests.
  IBAProblem problem;
  IBAState state;
  MapProblemIndex index;
  MapSnapshotToken token;

  // One record of the outlier store: the point's plane and its observations.
  struct OutlierObservation {
    u16 camera;
    f32 x, y;
  };
  struct OutlierRecord {
    u16 plane;
    u32 first, count;  // into outlierObservations
  };
  std::vector<u32> pointTracks;               // map track of each problem point
  std::vector<u16> planeIds;                  // map plane of each problem plane, kNone16 new
  std::vector<f32> cameraThresholds;          // of the last RejectOutliers
  std::vector<OutlierRecord> outlierRecords;  // with their tracks in edits.retestedTracks
  std::vector<OutlierObservation> outlierObservations;
  BAResultEdits edits;    // outlier and detached lists, restored points, flags, planes
  u32 oldPlaneCount = 0;  // problem planes that carry a map plane
  FILE* log = nullptr;
  // Statistics of the last run: solver runs and write-back attempts (read
  // by other threads while it runs).
  std::atomic<u32> solves{0}, writeBackAttempts{0};

  PlaneDetector planeDetector;
  IBASolver solver;

 protected:
  // The ratio loop: reject, solve, accept when the feature cost is low
  // enough, else restore and retry with a lower ratio. Returns the ratio.
  f32 SolveWithRatios(const char* name, bool planes, u32& line);
  // Writes a line by the logging rule: standard output when verbose, else
  // the log file when open.
  void Print(const char* format, ...) const;
  void PrintSeparator(char c) const;
  // Closes and reopens the log for appending, which flushes it.
  void ReopenLog();
  u8 SolverVerbosity() const;
  // The old-plane list of the write-back.
  const std::vector<u16>& OldPlanes();
  // Per point its observations (camera, measurement index): pointObsStart,
  // pointObs.
  void IndexObservations();
  // Renumbers planes: keep[j] is the new index or kNone16; moves parameters,
  // flags, weights, lists, map ids, the ground index, and maps the point and
  // outlier plane ids.
  void RenumberPlanes(const std::vector<u16>& newIndex);

  GlobalMap* map;
  Intrinsic intrinsic;
  u8 verbose;
  std::string logFileName;
  std::atomic<bool> busy{false};
  IBAState stateBackup;
  Point3DEstimator pointEstimator;
  Point3DEstimatorData pointData;
  PlaneEstimatorData2D planeData;
  AlignedArray<Plane> detectorPlanes;
  std::vector<u16> detectorLabels;

  // Scratch, only growing.
  std::vector<u32> pointObsStart;
  std::vector<std::pair<u32, u32>> pointObs;  // (camera, measurement)
  std::vector<f32> errors, sample;
  std::vector<u8> keep;
  std::vector<u32> remap;
  std::vector<u16> planeRemap;
  std::vector<u32> list, order;
  std::vector<u16> oldPlanes_;
  AlignedArray<IBAMeasurement> measurementsScratch;
  std::vector<u32> counts;
};
