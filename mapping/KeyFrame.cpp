// Key-frame record: construction and copy.
#include "mapping/KeyFrame.h"

#include <cfloat>
#include <cstring>

#include "la/RefillInPlace.h"

KeyFrame::KeyFrame() {
  SetEmptyIMUDelta(delta);
  std::memset(&attitude, 0, sizeof(attitude));
  attitude.quaternion[3] = 1.0;
  attitude.time = DBL_MAX;
}

namespace {

template <class T>
void CopyImage(CVD::Image<T>& dst, const CVD::Image<T>& src) {
  if (src.size().x <= 0 || src.size().y <= 0) {
    dst.resize(CVD::ImageRef(0, 0));
    return;
  }
  dst.copy_from(src);
}

}  // namespace

void KeyFrame::Copy(KeyFrame& dst, const KeyFrame& src) {
  if (&dst == &src) return;
  dst.frameId = src.frameId;
  CopyImage(dst.floatImage, src.floatImage);
  for (int l = 0; l < kPyramidLevels; ++l) CopyImage(dst.pyramid[l], src.pyramid[l]);
  std::memcpy(dst.levelOffsets, src.levelOffsets, sizeof(levelOffsets));
  dst.delta = src.delta;
  dst.attitude = src.attitude;
}
