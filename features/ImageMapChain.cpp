#include "features/ImageMapChain.h"

#include "features/AlignmentImage.h"
#include "features/ImageMapMath.h"

namespace {

// The record with an explicit third row.
WarpRecord Projective(const WarpRecord& m) {
  WarpRecord p = m;
  if (m.IsAffine()) p.m[8] = 0.0f, p.m[9] = 0.0f, p.m[10] = 1.0f;
  return p;
}

}  // namespace

void ChainImageMaps(const WarpRecord& a, const WarpRecord& b, WarpRecord& out) {
  if (!a.IsSet() || !b.IsSet()) {
    out.m[0] = FLT_MAX;
    return;
  }
  const bool affine = a.IsAffine() && b.IsAffine();
  MultiplyRotation3x3(Projective(a), Projective(b), out);
  if (affine) out.m[8] = FLT_MAX;
}

bool CarryImageMap(WarpRecord& map, const WarpRecord& step, const u32 size[2]) {
  ChainImageMaps(map, step, map);
  if (map.IsSet() && IsWarpValid(size, map)) return true;
  map.m[0] = FLT_MAX;
  return false;
}
