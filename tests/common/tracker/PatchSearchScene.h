#pragma once
// The patch search's world: a w x h camera (f = 0.8 w, centred), key frame 0,
// a ring of one frame at the identity, and tracks with a patch, flags and a
// warp pair in the frame.
#include <cvd/convolution.h>

#include "common/SceneRenderer.h"
#include "common/tracker/UnitContext.h"
#include "features/FastFeatureGrid.h"

struct PatchSearchScene {
  PatchSearchScene(int w, int h)
      : parts(static_cast<u16>(w), static_cast<u16>(h),
              SceneRender::MakeIntrinsic(0.8f * w, 0.8f * w, 0.5f * (w - 1), 0.5f * (h - 1))) {
    parts.ring.ResetTo(1);
    frame().number = 7, frame().pose.slot[kVisual] = CentredAt(0, 0);
    parts.map->keyFrames.resize(1);
  }
  static CameraPose CentredAt(float x, float y) {
    const float r0[3] = {1, 0, 0}, r1[3] = {0, 1, 0}, r2[3] = {0, 0, 1}, c[3] = {x, y, 0};
    return SceneRender::MakePose(r0, r1, r2, c);
  }
  TrackerFrame& frame() { return parts.ring[0]; }
  CVD::Image<u8> (&keyFramePyramid())[kPyramidLevels] { return parts.map->keyFrames[0].pyramid; }

  // Key frame and frame of a textured wall at z = 5, the frame's image moved
  // by (dx, dy) level-0 pixels (LevelShift: level pixels); their FAST corners.
  void Render(float dx, float dy, u32 seed = 3) {
    const CVD::Image<u8> texture = SceneRender::MakeNoiseTexture(600, 480, seed, 12, 10, 245);
    const float toWall = 5.0f / parts.camera.intrinsic[0].fx[0];
    for (int k = 0; k < 2; ++k) {
      CVD::Image<u8> image(CVD::ImageRef(parts.camera.width, parts.camera.height));
      SceneRender::Render({{{-5, -4, 5}, {1, 0, 0}, {0, 1, 0}, 10, 8, &texture}},
                          CentredAt(-k * dx * toWall, -k * dy * toWall), parts.camera.intrinsic[0],
                          image, 0, 2);
      CVD::convolveGaussian(image, 0.5);  // a lens blur: corners from blobs, not grain
      BuildPyramid(image, k == 0 ? keyFramePyramid() : frame().pyramid);
    }
    std::vector<CVD::ImageRef> scratch;
    DetectFastFeatures(keyFramePyramid(), scratch, keyFrameCorners);
    DetectFastFeatures(frame().pyramid, scratch, frame().corners);
    shift[0] = dx, shift[1] = dy;
  }
  void LevelShift(int level, float out[2]) const {
    out[0] = shift[0] / (1 << level), out[1] = shift[1] / (1 << level);
  }

  // A track whose patch is centred at (x, y) of key-frame level `level`, its
  // warp pair moving level pixels by `move`, predicted at (px, py).
  ImageMatch AddTrack(int level, float x, float y, const float move[2], float px, float py,
                      bool reliable = true, bool inlier = true) {
    const u32 track = parts.view.Patches().Size(), warp = frame().warps.Size();
    FeaturePatch patch{};
    patch.x = x, patch.y = y, patch.level = static_cast<u8>(level);
    patch.flags = reliable ? kPatchReliable : 0;
    parts.view.Patches().PushBack(patch, 100);
    parts.view.Working().points.PushBack({{0, 0, 0, 1}}, 100);
    parts.view.Working().trackFlags.push_back(inlier ? kTrackSolved | kTrackInlier : 0);
    for (const float s : {1.0f, -1.0f})  // affine
      frame().warps.PushBack48({{1, 0, s * move[0], 0, 0, 1, s * move[1], 0, FLT_MAX, 0, 1}});
    return {track, track, warp, px, py};
  }

  UnitContext parts;
  FeatureGrid keyFrameCorners[kPyramidLevels];
  float shift[2] = {0, 0};
};
