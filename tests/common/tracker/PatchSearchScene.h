#pragma once
// The patch search's world: a map whose key frame 0 holds a pyramid, a ring
// of one frame, and tracks made one at a time, each with its patch, its
// point and flags and a warp pair in the frame. The rendered form shows a
// textured wall facing the camera from two centres, so that the frame is the
// key frame moved by a known sub-pixel shift at every level.
#include <cvd/convolution.h>
#include <cvd/vision.h>

#include "common/SceneRenderer.h"
#include "common/tracker/UnitContext.h"
#include "features/FastFeatureGrid.h"

struct PatchSearchScene {
  // A w x h camera with f = 0.8 w, centred, and a ring of one frame at the
  // identity pose; no images yet.
  PatchSearchScene(int w, int h)
      : parts(static_cast<u16>(w), static_cast<u16>(h),
              SceneRender::MakeIntrinsic(0.8f * w, 0.8f * w, 0.5f * (w - 1), 0.5f * (h - 1))) {
    parts.ring.ResetTo(1);
    frame().number = 7;
    const float r0[3] = {1, 0, 0}, r1[3] = {0, 1, 0}, r2[3] = {0, 0, 1}, c[3] = {0, 0, 0};
    frame().pose.slot[kVisual] = SceneRender::MakePose(r0, r1, r2, c);
    parts.map->keyFrames.resize(1);
  }

  TrackerFrame& frame() { return parts.ring[0]; }
  CVD::Image<u8> (&keyFramePyramid())[kPyramidLevels] { return parts.map->keyFrames[0].pyramid; }

  // Key frame and frame of the wall z = 5, the frame's image moved by
  // (dx, dy) level-0 pixels; the FAST corners of both detected. The texture
  // gives corners as dense as the plane scene's (at 640 x 480 about 4500,
  // 7300, 4000 and 1500 per level).
  void Render(float dx, float dy, u32 seed = 3) {
    texture = SceneRender::MakeNoiseTexture(600, 480, seed, 12, 10, 245);
    const SceneRender::TexturedPlane wall{
        {-5.0f, -4.0f, 5.0f}, {1, 0, 0}, {0, 1, 0}, 10.0f, 8.0f, &texture};
    const Intrinsic& K = parts.camera.intrinsic[0];
    const float r0[3] = {1, 0, 0}, r1[3] = {0, 1, 0}, r2[3] = {0, 0, 1};
    for (int k = 0; k < 2; ++k) {
      const float c[3] = {-k * dx * 5.0f / K.fx[0], -k * dy * 5.0f / K.fy[0], 0.0f};
      CVD::Image<u8> image(CVD::ImageRef(parts.camera.width, parts.camera.height));
      SceneRender::Render({wall}, SceneRender::MakePose(r0, r1, r2, c), K, image, 0, 2);
      CVD::convolveGaussian(image, 0.5);  // a lens blur: corners from blobs, not grain
      BuildPyramid(image, k == 0 ? keyFramePyramid() : frame().pyramid);
    }
    std::vector<CVD::ImageRef> scratch;
    DetectFastFeatures(keyFramePyramid(), scratch, keyFrameCorners);
    DetectFastFeatures(frame().pyramid, scratch, frame().corners);
    shift[0] = dx, shift[1] = dy;
  }

  // A track with a patch centred at (x, y) of key-frame level `level`, its
  // point at `point` (flags kTrackSolved | kTrackInlier when inlier), and a
  // pair of maps in the frame moving level pixels by `move`; the candidate
  // predicted at (px, py).
  ImageMatch AddTrack(int level, float x, float y, const float move[2], float px, float py,
                      bool reliable = true, const float point[3] = nullptr, bool inlier = true) {
    const u32 track = parts.view.Patches().Size();
    FeaturePatch patch{};
    patch.x = x, patch.y = y;
    patch.level = static_cast<u8>(level);
    patch.flags = reliable ? kPatchReliable : 0;
    for (auto& corner : patch.corners) corner[0] = corner[1] = -1e6f;  // nothing cached
    parts.view.Patches().PushBack(patch, 100);
    MapWorkingCopy& w = parts.view.Working();
    MapPoint X;
    for (int i = 0; i < 3; ++i) X.v[i] = point != nullptr ? point[i] : 0.0f;
    X.v[3] = 1.0f;
    w.points.PushBack(X, 100);
    w.trackFlags.push_back(inlier ? kTrackSolved | kTrackInlier : 0);
    const u32 warp = frame().warps.Size();
    for (const float sign : {1.0f, -1.0f}) {
      WarpRecord m{};
      SetIdentityMap(m);
      m.m[2] = sign * move[0], m.m[6] = sign * move[1], m.m[8] = FLT_MAX;  // affine
      frame().warps.PushBack48(m);
    }
    return {track, track, warp, px, py};
  }

  // The rendered frame's shift at a level.
  void LevelShift(int level, float out[2]) const {
    out[0] = shift[0] / static_cast<float>(1 << level);
    out[1] = shift[1] / static_cast<float>(1 << level);
  }

  UnitContext parts;
  CVD::Image<u8> texture;
  FeatureGrid keyFrameCorners[kPyramidLevels];
  float shift[2] = {0, 0};
};

// A level grid of the given corners, listed in row order and by x within a row.
inline void SetCorners(FeatureGrid& grid, int height, const std::vector<CornerXY>& corners) {
  grid.corners.Clear();
  grid.rowStarts.assign(height + 1, 0);
  for (const CornerXY& c : corners) {
    grid.corners.PushBack(c, 20);
    for (int y = c.y + 1; y <= height; ++y) ++grid.rowStarts[y];
  }
}
