#include "tracker/TrackerCamera.h"

#include <boost/thread/locks.hpp>

#include "mapping/GlobalMap.h"

namespace {

// Intrinsics of a half-sampled level: pixel x of the smaller image covers
// pixels 2x and 2x + 1 of the larger one.
void HalveIntrinsic(const Intrinsic& in, Intrinsic& out) {
  out.Set(in.fx[0] * 0.5f, in.fy[0] * 0.5f, (in.cx[0] - 0.5f) * 0.5f, (in.cy[0] - 0.5f) * 0.5f);
}

}  // namespace

void TrackerCamera::Set(const GlobalMap& map) {
  boost::shared_lock<boost::shared_mutex> lock(map.mutex);
  width = map.width;
  height = map.height;
  intrinsic[0] = map.intrinsic;
  for (int l = 1; l <= kPyramidLevels; ++l) HalveIntrinsic(intrinsic[l - 1], intrinsic[l]);
  smallWidth = static_cast<u16>(width >> 4);
  smallHeight = static_cast<u16>(height >> 4);
  const Intrinsic& k = intrinsic[0];
  pixelVariance = k.misc[1];
  bounds[0] = -k.cx[0] * k.ifx[0];
  bounds[1] = -k.cy[0] * k.ify[0];
  bounds[2] = (width - k.cx[0]) * k.ifx[0];
  bounds[3] = (height - k.cy[0]) * k.ify[0];
  for (u32 a = 0; a < 4; ++a)
    for (u32 b = 0; b < 4; ++b) warpOffsets[a][b] = 1 + 2 * (4 * a + b);
  for (int i = 0; i < 4; ++i) bodyToCamera.quaternion[i] = map.extrinsic[i];
  for (int i = 0; i < 3; ++i) bodyToCamera.position[i] = map.extrinsic[4 + i];
}
