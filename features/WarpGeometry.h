#pragma once
// Image maps between the pyramids of two views: a level-0 map and its
// inverse from a float-image map, one map carried to another pyramid level,
// and the homography a world plane induces between two cameras. Shared by the
// track matcher and the tracker's plane hypotheses.
#include "features/FeatureRecords.h"
#include "la/Pose.h"

// The first-pass warps of level 0 from the key-frame choice's warp (float-image
// pixels of the new key frame into the older one's): `toOld` the same map in
// level-0 pixels, `toNew` its inverse. k = level-0 width / float width. An
// affine map keeps its marker and is never rescaled in its third row. False
// when the map is singular.
bool MakeLevelZeroWarps(const WarpRecord& warp, float k, WarpRecord& toOld, WarpRecord& toNew);

// The map m of level 0 at pyramid level `level` (translation halved and
// third row doubled per level; an affine map keeps its marker).
void ScaleWarpToLevel(const WarpRecord& m, int level, WarpRecord& out);

// The homography of the plane n.X + d = 0 (world) between two cameras, from
// pixels of `from` (intrinsics kFrom) to pixels of `to` (kTo). False when the
// plane passes through the centre of `from` or the result is not finite.
bool ComputePlaneHomography(const CameraPose& from, const CameraPose& to, const float plane[4],
                            const Intrinsic& kFrom, const Intrinsic& kTo, WarpRecord& H);
