// A key-frame candidate packed for the track matcher: the frame's images,
// corners and map matches with the state of their tracks, and its pose.
#include <cfloat>
#include <cstring>

#include "tracker/KeyFrameHandOver.h"

static_assert(sizeof(CornerXY) == sizeof(LA::Vector2<u16>), "corners are two u16 each");

void KeyFrameHandOver::FillTrackMatchingData(u16 frame, TrackMatchingData& item) {
  const TrackerFrame& f = c_.ring[frame];
  const MapWorkingCopy& w = c_.mapView.Working();
  item.frameId = static_cast<u32>(f.number);
  const CVD::BasicImage<u8> levels[kPyramidLevels] = {f.pyramid[0], f.pyramid[1], f.pyramid[2],
                                                      f.pyramid[3]};
  item.SetImages(levels, f.alignmentImage, f.gradientImage);
  item.texture = f.alignmentValue;
  LA::AlignedVector4f unset{};
  unset.v[0] = FLT_MAX;
  for (int l = 0; l < kPyramidLevels; ++l) {
    const FeatureGrid& grid = f.corners[l];
    const u32 n = grid.corners.Size();
    item.corners[l].Resize(n);
    if (n > 0) std::memcpy(static_cast<void*>(item.corners[l].Data()), grid.corners.Data(), 4 * n);
    item.cornerRowStarts[l].assign(grid.rowStarts.begin(), grid.rowStarts.end());

    const std::vector<MapMatch>& matches = f.mapMatches[l];
    item.ResizeMatches(l, static_cast<u32>(matches.size()));
    for (u32 i = 0; i < matches.size(); ++i) {
      const MapMatch& m = matches[i];
      const bool known = m.track < w.trackFlags.size() && m.track < w.points.Size();
      item.trackIndices[l][i] = m.track;
      item.measurements[l][i] = {m.x, m.y};
      item.normalizedMeasurements[l][i] = {m.nx, m.ny};
      item.points[l][i] = known ? w.points[m.track] : unset;
      item.trackFlags[l][i] = known ? w.trackFlags[m.track] : 0;
      item.planeIndices[l][i] = m.track < w.trackPlanes.size() ? w.trackPlanes[m.track] : kNone16;
    }
  }
  std::memcpy(item.posePrior, f.posePrior, sizeof(item.posePrior));
  *item.pose = f.pose.slot[kVisual];
  item.relocalisationKeyFrame = f.relocalisationKeyFrame;
  item.alignmentKeyFrame = f.alignedKeyFrame;
  item.meanDepth = f.sceneDepth;
}
