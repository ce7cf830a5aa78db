#pragma once
// The index draws behind every estimator's minimal samples: m distinct
// indices drawn uniformly, and the progressive (PROSAC) draw that may force
// the newest position of the order in. A repeated value is drawn again, never
// shifted, so a seeded generator gives every estimator the same sequence of
// Random::Index calls for the same n and m.
#include <vector>

#include "la/Random.h"
#include "la/Types.h"

// A value below n that differs from drawn[0..count) (caller: n > count).
template <class Index>
inline Index DrawNewIndex(u32 n, const Index* drawn, u32 count) {
  for (;;) {
    const Index v = static_cast<Index>(Random::Index(n));
    bool taken = false;
    for (u32 j = 0; j < count; ++j) taken = taken || drawn[j] == v;
    if (!taken) return v;
  }
}

// out[0..m) = m distinct values below n (caller: n >= m).
template <class Index>
inline void DrawDistinctIndices(u32 n, u32 m, Index* out) {
  for (u32 k = 0; k < m; ++k) out[k] = DrawNewIndex(n, out, k);
}

// out[0..m) = m distinct positions below n (caller: n >= m >= 1). With
// includeLast, position n - 1 is among them: drawn last unless an earlier
// draw already took it.
template <class Index>
inline void DrawProsacPositions(u32 n, u32 m, bool includeLast, Index* out) {
  DrawDistinctIndices(n, m - 1, out);
  const Index last = static_cast<Index>(n - 1);
  bool lastTaken = false;
  for (u32 j = 0; j + 1 < m; ++j) lastTaken = lastTaken || out[j] == last;
  out[m - 1] = includeLast && !lastTaken ? last : DrawNewIndex(n, out, m - 1);
}

// items[0..m) = the entries of order at DrawProsacPositions(n, m, includeLast)
// (caller: order.size() >= n >= m >= 1).
template <class Index>
inline void DrawProsacItems(const std::vector<Index>& order, u32 n, u32 m, bool includeLast,
                            Index* items) {
  DrawProsacPositions(n, m, includeLast, items);
  for (u32 k = 0; k < m; ++k) items[k] = order[items[k]];
}

// True when every one of items[0..m) names an item of a set of `size` (an
// order or bin table handed in by the caller may not).
template <class Index>
inline bool AllBelow(const Index* items, u32 m, u32 size) {
  for (u32 k = 0; k < m; ++k)
    if (items[k] >= size) return false;
  return true;
}
