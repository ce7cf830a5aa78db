#pragma once
// Warp hypotheses between a key frame and the current frame, shared by map
// matching and key-frame image matching. A hypothesis is a block of 33 image
// maps: record 0 the homography in normalised coordinates (key frame to
// current frame), then for every key-frame level a and current-frame level b
// the pixel map a -> b at kHypothesisOffset[a][b] and its inverse right
// after it. Blocks only grow the array by appending, so callers hold block
// indices, never pointers, across additions.
#include "features/FeatureRecords.h"
#include "la/AlignedArray.h"
#include "la/Pose.h"
#include "tracker/TrackerCamera.h"

constexpr u32 kHypothesisBlockSize = 33;

// offset[a][b] = 1 + 2 (4a + b): a the patch (key-frame) level, b the search
// (current-frame) level.
constexpr u32 kHypothesisOffset[4][4] = {
    {1, 3, 5, 7}, {9, 11, 13, 15}, {17, 19, 21, 23}, {25, 27, 29, 31}};

// Appends the block of H (normalised coordinates, key frame to current
// frame) with its 32 pixel maps. False, nothing appended, when H is not
// finite or its level-0 pixel map has no inverse. An affine H (m20 = FLT_MAX)
// stays affine at every level. H may be a record of `hypotheses` itself.
bool AddHomographyHypothesis(const TrackerCamera& camera, const WarpRecord& homography,
                             AlignedArray<WarpRecord>& hypotheses);

// Appends the block of a key frame's image map (current alignment-image
// pixels into the key frame's). False, nothing appended, when the map has no
// inverse.
bool AddImageMapHypothesis(const TrackerCamera& camera, const WarpRecord& keyFrameImageMap,
                           AlignedArray<WarpRecord>& hypotheses);

// Appends the block of the homography the world plane n.X + d = 0 induces
// from the key frame to the current frame; `homography` receives it.
// relativePose (current from key frame) is computed when unset and reused
// otherwise, so a caller walking one key frame's planes sets it unset once.
// scratch receives the plane's normal and offset in the key frame. False,
// nothing appended, when the key frame's centre lies on the plane
// (|offset| < kMinPlaneOffset) or the block cannot be made.
bool AddPlaneHomography(const TrackerCamera& camera, const CameraPose& keyFramePose,
                        const CameraPose& currentPose, const float plane[4],
                        CameraPose& relativePose, float scratch[4], WarpRecord& homography,
                        AlignedArray<WarpRecord>& hypotheses);
constexpr float kMinPlaneOffset = 1e-6f;

// Among the blocks from firstRecord to the end, drops every block whose
// level-0 image corners lie within a summed squared distance of
// kPruneDistance2 of an earlier kept block's, and every block whose corners
// are not finite; the kept blocks move down in order.
void PruneHypotheses(const TrackerCamera& camera, u32 firstRecord,
                     AlignedArray<WarpRecord>& hypotheses);
constexpr float kPruneDistance2 = 100.0f;

// A pixel map of level 0 on both sides carried to input level a and output
// level b (up to scale for projective maps; an affine map keeps its marker).
void ScaleWarpBetweenLevels(const WarpRecord& m, int a, int b, WarpRecord& out);
