#pragma once
// The triangles still free to seed a plane, as a Fenwick tree over the
// triangle indices: taking one out and finding the free triangle of a given
// rank in index order both cost log T, where a list of the free ones would
// have to be rebuilt for every draw.
#include <vector>

#include "la/Types.h"

class SeedSet {
 public:
  // Every one of n items present.
  void Reset(u32 n) {
    tree_.resize(n + 1);
    for (u32 i = 1; i <= n; ++i) tree_[i] = i & (0u - i);  // node i covers its lowest bit
    count_ = n;
  }
  // Takes item t out; it must be present.
  void Remove(u32 t) {
    const u32 n = static_cast<u32>(tree_.size()) - 1;
    for (u32 i = t + 1; i <= n; i += i & (0u - i)) --tree_[i];
    --count_;
  }
  u32 Count() const { return count_; }
  // The present item of rank r (0 = the lowest index); r < Count().
  u32 Find(u32 r) const {
    const u32 n = static_cast<u32>(tree_.size()) - 1;
    u32 step = 1;
    while (step <= n / 2) step *= 2;
    u32 t = 0;
    for (; step != 0; step /= 2) {
      if (t + step <= n && tree_[t + step] <= r) {
        t += step;
        r -= tree_[t];
      }
    }
    return t;
  }

 private:
  std::vector<u32> tree_{0u};
  u32 count_ = 0;
};
