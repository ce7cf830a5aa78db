// The final pass of plane detection: the regions found in one call give way
// to the existing planes they mostly lie on, then the best regions become
// planes one after another, each claiming the points of the weaker ones that
// fit it.
#include <algorithm>

#include "mapping/PlaneDetector.h"

namespace {

inline u32 KeepCount(f32 ratio, size_t count) {
  return static_cast<u32>(ratio * static_cast<f32>(count) + 0.5f);
}

template <class Predicate>
u32 EraseIf(std::vector<u32>& list, Predicate&& predicate) {
  const size_t before = list.size();
  list.erase(std::remove_if(list.begin(), list.end(), predicate), list.end());
  return static_cast<u32>(before - list.size());
}

}  // namespace

void PlaneDetector::AssignPoints(const PlaneEstimatorData2D& data, AlignedArray<Plane>& planes,
                                 std::vector<u16>& pointPlanes) {
  const u32 existing = planes.Size();
  for (u32 p = 0; p < existing; ++p) {
    const u16 index = static_cast<u16>(p);
    for (Region& r : regions_) {
      const size_t before = r.points.size();
      const u32 removed = EraseIf(r.points, [&](u32 k) { return pointPlanes[k] == index; });
      moved_.clear();
      for (const u32 k : r.points)
        if (pointPlanes[k] != kNone16 && Fits(data, k, planes[p])) moved_.push_back(k);
      if (removed + moved_.size() >= KeepCount(keepRatio, before)) {
        for (const u32 k : moved_) pointPlanes[k] = index;
      }
    }
    for (Region& r : regions_) EraseIf(r.points, [&](u32 k) { return pointPlanes[k] == index; });
    regions_.erase(std::remove_if(regions_.begin(), regions_.end(),
                                  [this](const Region& r) { return r.points.size() < minPoints; }),
                   regions_.end());
  }

  planes.Reserve(existing + maxNewPlanes);
  std::vector<u8>& held = pointMarks_;  // 1 for the points of the best region
  std::fill(held.begin(), held.end(), 0);
  u32 added = 0;
  while (!regions_.empty() && added < maxNewPlanes) {
    std::stable_sort(regions_.begin(), regions_.end(), [](const Region& x, const Region& y) {
      return x.points.size() != y.points.size() ? x.points.size() > y.points.size()
                                                : x.area > y.area;
    });
    Region& b = regions_[0];
    for (const u32 k : b.points) held[k] = 1;
    bool gained = false;
    for (size_t i = 1; i < regions_.size(); ++i) {
      Region& r = regions_[i];
      const size_t before = r.points.size();
      const u32 removed = EraseIf(r.points, [&](u32 k) { return held[k] != 0; });
      moved_.clear();
      for (const u32 k : r.points)
        if (Fits(data, k, b.plane)) moved_.push_back(k);
      if (removed + moved_.size() >= KeepCount(keepRatio, before)) {
        for (const u32 k : moved_) {
          b.points.push_back(k);
          held[k] = 1;
        }
        EraseIf(r.points, [&](u32 k) { return held[k] != 0; });
        gained = gained || !moved_.empty();
      }
    }
    if (gained) {
      PlaneEstimatorData2D::GetSubset(data, b.points, subset_);
      loaded_ = 0;  // subset_ no longer holds the marked points
      OptimizeModel(subset_, b.plane, 0);
    }
    const u16 index = static_cast<u16>(planes.Size());
    planes.PushBack16(b.plane);
    for (const u32 k : b.points) {
      pointPlanes[k] = index;
      held[k] = 0;
    }
    ++added;
    regions_.erase(regions_.begin());
    for (Region& r : regions_) EraseIf(r.points, [&](u32 k) { return pointPlanes[k] != kNone16; });
    regions_.erase(std::remove_if(regions_.begin(), regions_.end(),
                                  [this](const Region& r) { return r.points.size() < minPoints; }),
                   regions_.end());
  }
}
