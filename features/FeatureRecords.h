#pragma once
// Records shared by the feature front end, the map's track matcher and the
// tracker: corner grids, occupancy masks, match records, per-track patches and
// 3x3 image maps. Plain data: arrays of them are copied with memcpy.
#include <cfloat>
#include <vector>

#include "la/AlignedArray.h"
#include "la/Types.h"

// A 3x3 image map as three rows of four floats (the fourth float of a row is
// padding). m[0] == FLT_MAX: no map. m[8] (first float of the third row) ==
// FLT_MAX: affine, (x, y) -> (m00 x + m01 y + m02, m10 x + m11 y + m12).
struct alignas(16) WarpRecord {
  // Zero at construction: the padding floats are never written otherwise,
  // and records are saved byte for byte.
  float m[12] = {};

  bool IsSet() const { return m[0] != FLT_MAX; }
  bool IsAffine() const { return m[8] == FLT_MAX; }
};
static_assert(sizeof(WarpRecord) == 48, "WarpRecord is three rows of four floats");

// Track flag bits, one byte per track, shared by the map and the tracker.
enum TrackFlag : u8 {
  kTrackSolved = 1 << 0,
  kTrackInlier = 1 << 1,
  kTrackMerged = 1 << 2,
  kTrackMergedAway = 1 << 3,  // the measurement list holds ~(surviving track id)
  kTrackSurf = 1 << 4,
  kTrackImu = 1 << 5,
  kTrackMarker = 1 << 6,
  kTrackUnreliable = 1 << 7,
};
enum PlaneFlag : u8 { kPlaneGround = 1 << 0 };

// FeaturePatch flag bits.
enum PatchFlag : u8 {
  kPatchSumsValid = 1 << 0,
  kPatchReliable = 1 << 1,
  kPatchUsable = 1 << 2,
};

// One per track: the 8x8 reference template and where it came from.
struct alignas(16) FeaturePatch {
  u8 pixels[64];
  u32 sum;
  u32 sumOfSquares;
  float x, y;           // centre in the source key frame, level pixels
  float corners[4][2];  // cached warped corners: top-left, bottom-left, top-right, bottom-right
  u16 keyFrame;         // source key frame
  u16 feature;          // index within that key frame's track list
  u8 level;
  u8 flags;  // PatchFlag
  u32 trackedCount;
  u32 lostCount;
};

// A 2D-3D match between a frame feature and a map point.
struct MapMatch {
  u32 track;
  u32 patch;     // FeaturePatch index
  u32 corner;    // FAST corner index in the level's grid; kNone32 for a track just created
  float x, y;    // matched position, level pixels
  float px, py;  // predicted position
  float nx, ny;  // normalised position
  i32 ssd;       // zero-mean SSD of the patch match; -1 (0xFFFFFFFF) when none
};

// A 2D-2D candidate or miss between the frame and a key frame.
struct ImageMatch {
  u32 track;
  u32 patch;   // FeaturePatch index
  u32 warp;    // first of two consecutive WarpRecords; kNone32 for a refinement failure
  float x, y;  // predicted position, level pixels
};

// A level's FAST corner in level pixels.
struct CornerXY {
  u16 x, y;
};

// A level's FAST corners in row order with a row-start table: the corners of
// row y are the indices rowStarts[y] .. rowStarts[y + 1] - 1, in ascending x.
struct FeatureGrid {
  AlignedArray<CornerXY> corners;
  std::vector<u32> rowStarts;  // height + 1 entries
};

// A KLT candidate; x == kNone16 marks it taken during spread selection.
struct ScoredCorner {
  u16 x, y;
  float score;
};

// A byte mask per pyramid level (0 free, 255 occupied) with rows of a stride
// rounded to a multiple of 8 bytes.
class OccupancyMask {
 public:
  // Returns at once when the size is unchanged; grows the storage only when
  // the new size exceeds the capacity. The content is undefined afterwards.
  void Resize(u16 width, u16 height);
  void Clear();

  u8* Row(u32 y) { return rows_[y]; }
  const u8* Row(u32 y) const { return rows_[y]; }
  u16 Width() const { return width_; }
  u16 Height() const { return height_; }
  u16 Stride() const { return stride_; }
  u32 Size() const { return size_; }

 private:
  u16 width_ = 0, height_ = 0, stride_ = 0;
  u16 stride8_ = 0, stride4_ = 0, stride2_ = 0;  // stride / 8, / 4, / 2
  u32 size_ = 0, capacity_ = 0;
  AlignedArray<u8> buffer_;
  std::vector<u8*> rows_;
};
