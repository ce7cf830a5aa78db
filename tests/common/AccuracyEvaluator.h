#pragma once
// How well a run tracked a sequence with known poses: the pose file the
// console program writes (per frame "index" then three rows of the 3x4
// world-to-camera pose; a frame without a pose has a first value of FLT_MAX)
// compared with the truth in the same layout.
//
// Every scale here is the estimated map's size over the true one (1 is
// metric, 0.5 a map half as large as the world): the inverse of the
// similarity scale that carries the estimate onto the truth.
#include <array>
#include <map>
#include <string>
#include <vector>

#include "la/Pose.h"
#include "tests/common/TrajectoryAlignment.h"

// Frame index to camera centre; frames without a (finite) pose are absent.
using CentreTrack = std::map<int, Centre>;

// The twelve numbers of a world-to-camera pose, row by row.
using PoseRows = std::array<double, 12>;

struct PoseFileContents {
  CentreTrack centres;
  std::map<int, PoseRows> poses;  // the frames of `centres`
  int records = 0;                // every frame record read, with or without a pose
};

// Reads a pose file. False, with the reason in error, when it cannot be
// opened or a record is cut short or malformed.
bool ReadPoseFile(const std::string& path, PoseFileContents& out, std::string* error);
// The camera centre of one record's twelve numbers; false when the record
// holds no pose (FLT_MAX or any non-finite value).
bool CentreOfPoseRows(const double m[12], Centre& centre);

struct AccuracyReport {
  int frames = 0;   // frames of the truth
  int tracked = 0;  // of those, frames with a pose
  int firstTracked = -1;
  double trackedFraction = 0.0;
  double pathLength = 0.0;  // of the true camera centres over all frames, m
  // After the similarity fit over every tracked frame; -1 when fewer than
  // three frames were tracked or the estimate has no spread.
  double ateRms = -1.0;      // m
  double atePercent = -1.0;  // of the path length
  double mapScale = 0.0;     // estimate over truth; 0 when not fitted
  // mapScale fitted on the second half of the tracked frames over that of
  // the first half: > 1 the map grew, < 1 it shrank; 0 when not fitted.
  double scaleDrift = 0.0;
  // mapScale fitted on the tracked frames from jumpFrame on over that of the
  // tracked frames before it; 0 when not asked for or not fitted.
  int jumpFrame = -1;
  double scaleJump = 0.0;
};

// Compares the estimate with the truth; frames of the estimate that the
// truth lacks are ignored. jumpFrame < 0: no jump asked for.
AccuracyReport EvaluateAccuracy(const CentreTrack& estimate, const CentreTrack& truth,
                                int jumpFrame = -1);

// The estimated map's size over the truth's, fitted on the given frames; 0
// when fewer than three of them have a pose in both or nothing moved.
double MapScaleOver(const CentreTrack& estimate, const CentreTrack& truth,
                    const std::vector<int>& frames);

// One readable block of the report's numbers.
std::string FormatAccuracy(const AccuracyReport& report);
