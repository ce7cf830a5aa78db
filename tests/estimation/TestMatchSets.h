#pragma once
// Fills the packed match containers from plain test matches.
#include <vector>

#include "estimation/MatchSet2D.h"
#include "estimation/TwoViewScene.h"

namespace testsets {

inline void FillFive(const std::vector<twoview::Match>& m, FiveMatches2D& s) {
  for (int i = 0; i < 4; ++i) {
    s.x1[i] = static_cast<float>(m[i].x1);
    s.y1[i] = static_cast<float>(m[i].y1);
    s.x2[i] = static_cast<float>(m[i].x2);
    s.y2[i] = static_cast<float>(m[i].y2);
  }
  s.fifth[0] = static_cast<float>(m[4].x1);
  s.fifth[1] = static_cast<float>(m[4].y1);
  s.fifth[2] = static_cast<float>(m[4].x2);
  s.fifth[3] = static_cast<float>(m[4].y2);
}

inline void FillSet(const std::vector<twoview::Match>& m, MatchSet2D& set) {
  set.Resize(static_cast<u16>(m.size()));
  for (size_t i = 0; i < m.size(); ++i) {
    set.SetMatch(static_cast<u32>(i), static_cast<float>(m[i].x1), static_cast<float>(m[i].y1),
                 static_cast<float>(m[i].x2), static_cast<float>(m[i].y2));
  }
}

}  // namespace testsets
