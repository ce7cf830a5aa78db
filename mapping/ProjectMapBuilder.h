#pragma once
// What the text and binary project readers share: the frame files of the
// sequence, the tracks with their observations and the per-frame poses are
// collected while the file is parsed; Build then turns every frame into a key
// frame of a map that only the reader sees (images and track colours
// included), so a file that fails anywhere leaves the shared map untouched.
#include <string>
#include <vector>

#include "mapping/GlobalMap.h"
#include "mapping/SequenceFileName.h"

class ProjectMapBuilder {
 public:
  // The frame files start, start + step, ... up to end of `pattern`, taken
  // beside the project file and named when they are loaded. False when the
  // sequence holds no frame, steps backwards, has more frames than key
  // frames can be numbered, or its pattern is longer than a path can be.
  bool SetSequence(const std::string& projectFile, const std::string& pattern, long long start,
                   long long step, long long end);
  u32 FrameCount() const { return frames_.Count(); }
  // False when SetUsableIntrinsic refuses the four numbers.
  bool SetIntrinsic(float fx, float fy, float cx, float cy);
  // Reserves for `count` tracks.
  void StartTracks(u32 count);
  // Starts the next track: a == -1 marks it unsolved, b == 1 an inlier.
  void BeginTrack(int a, int b, float x, float y, float z);
  // A pixel observation of the current track; false for a frame outside the
  // sequence.
  bool AddObservation(int frame, float x, float y);
  // Ends the current track; a second observation in one frame is dropped.
  void EndTrack();
  // The pose rows [R | t] of one frame. A negative focal length marks a
  // frame without a pose: it is stored unset (first float FLT_MAX).
  void SetPose(u32 frame, double focal, const float rows[12]);
  // Colours of the first colors.size() tracks (the others come from the images).
  void SetColors(std::vector<TrackColor> colors) { colors_ = std::move(colors); }
  // Builds the whole map into `map`; false when it is not consistent.
  bool Build(GlobalMap& map);
  // Why the last call failed.
  const std::string& Error() const { return error_; }
  bool Fail(const std::string& reason);

 private:
  struct Observation {
    u32 track;
    u32 frame;
    float x, y;
  };

  FileSequence frames_;
  float k_[4] = {1, 1, 0, 0};  // fx, fy, cx, cy
  std::vector<MapPoint> points_;
  std::vector<u8> flags_;
  std::vector<Observation> observations_;
  std::size_t trackStart_ = 0;
  u32 dropped_ = 0;
  std::vector<CameraPose> poses_;
  std::vector<TrackColor> colors_;
  std::string error_;
};

// keyFrameTrackRange: per key frame the lowest and highest track of its
// measurements, (0xFFFFFFFF, 0) for a key frame without any.
void ComputeFrameTrackRanges(GlobalMap& map);
// Colours every track from tracks `coloredTracks` on with its pixel in the
// first frame (in frame order) that observes it, from the colour images of
// the sequence's files; a frame whose level-0 image is missing gives
// (0, 255, 255).
void LoadTrackColors(GlobalMap& map, const FileSequence& imageFiles, u32 coloredTracks = 0);
